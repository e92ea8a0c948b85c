// What the fuzz targets share: a property that fails stops the run as a finding.
#pragma once

#include "engine/der.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_REQUIRE(condition)                                                                    \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

// Whether `inner` lies within `outer` (an empty span at any place in or at the end of it does).
inline bool Within(DerBytes inner, DerBytes outer) {
    const auto begin = reinterpret_cast<std::uintptr_t>(outer.data());
    const auto at = reinterpret_cast<std::uintptr_t>(inner.data());
    return at >= begin && at - begin <= outer.size() && inner.size() <= outer.size() - (at - begin);
}
