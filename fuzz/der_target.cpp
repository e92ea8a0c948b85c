// The DER reader on any bytes: each element it returns starts where the last one ended, lies in
// its input, ends with its value, and has the minimal header for its length; a refused element
// consumes nothing; and its well-formedness check agrees with a walk of the same tree.
#include "fuzz/check.h"

#include <cstddef>
#include <cstdint>

namespace {

constexpr int kDepth = 32;

// Tag and length bytes DER uses for a value of `length` bytes.
std::size_t HeaderSize(std::size_t length) {
    std::size_t size = 2;
    if (length >= 0x80) {
        for (; length != 0; length >>= 8) {
            ++size;
        }
    }
    return size;
}

// Reads `input` as a run of elements, and every constructed one's value in turn down to `depth`;
// true when all of it read.
bool Walk(DerBytes input, int depth) {
    DerReader reader(input);
    std::size_t used = 0;
    while (!reader.AtEnd()) {
        DerElement element;
        if (!reader.Next(element)) {
            const std::uint8_t tag = input[used];
            FUZZ_REQUIRE(!reader.Next(tag, element) && !reader.SkipIf(tag) && !reader.AtEnd());
            return false;
        }
        FUZZ_REQUIRE(element.whole.data() == input.data() + used);
        FUZZ_REQUIRE(Within(element.whole, input) && Within(element.value, element.whole));
        FUZZ_REQUIRE(element.value.data() + element.value.size() ==
                     element.whole.data() + element.whole.size());
        FUZZ_REQUIRE(element.whole.size() - element.value.size() ==
                     HeaderSize(element.value.size()));
        FUZZ_REQUIRE(element.tag == element.whole[0] && (element.tag & 0x1f) != 0x1f);
        DerElement single;
        FUZZ_REQUIRE(DerSingle(element.whole, element.tag, single) &&
                     single.value.data() == element.value.data() &&
                     single.value.size() == element.value.size());
        used += element.whole.size();
        if ((element.tag & 0x20) != 0 && (depth == 0 || !Walk(element.value, depth - 1))) {
            return false;
        }
    }
    FUZZ_REQUIRE(used == input.size());
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const DerBytes input(data, size);
    const bool wellFormed = DerIsWellFormed(input, kDepth);
    FUZZ_REQUIRE(Walk(input, kDepth) == wellFormed);
    return 0;
}
