// Content for test files: the same bytes for the same seed, different ones for another.
#pragma once

#include <cstddef>
#include <random>
#include <string>

namespace drvtest {

inline std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

} // namespace drvtest
