// Exported entry points that belong to the module itself.
// (The build defines MOBILEDRVDOWN_BUILDING, so the public header declares without dllimport.)
#include "MobileDrvDown.h"

#include <type_traits>

extern "C" int __stdcall ExtractZipFile(const void* /*reserved1*/, const void* /*reserved2*/) {
    return 1;
}

// The exact type hosts link against: stdcall, two pointer-sized arguments, an int result.
static_assert(std::is_same_v<decltype(&ExtractZipFile), int(__stdcall*)(const void*, const void*)>);
