#include "engine/der.h"

#include <algorithm>

namespace {

// Parses one element at the start of `input`; false when it is not a DER element that fits.
bool ParseElement(DerBytes input, DerElement& element) {
    if (input.size() < 2) {
        return false;
    }
    const std::uint8_t tag = input[0];
    if ((tag & 0x1f) == 0x1f) {
        return false; // tag numbers above 30 occur in none of the structures read here
    }
    std::size_t header = 2;
    std::size_t length = input[1];
    if (length >= 0x80) {
        // Long form: 1 to 4 length bytes, no leading zero, and only for lengths of 128 and up.
        const std::size_t count = length & 0x7f;
        if (count == 0 || count > 4 || input.size() - 2 < count || input[2] == 0) {
            return false;
        }
        length = 0;
        for (std::size_t i = 0; i < count; ++i) {
            length = (length << 8) | input[2 + i];
        }
        if (length < 0x80) {
            return false;
        }
        header += count;
    }
    if (length > input.size() - header) {
        return false;
    }
    element.tag = tag;
    element.value = input.subspan(header, length);
    element.whole = input.first(header + length);
    return true;
}

} // namespace

bool DerReader::Next(DerElement& element) {
    if (!ParseElement(rest_, element)) {
        return false;
    }
    rest_ = rest_.subspan(element.whole.size());
    return true;
}

bool DerReader::Next(std::uint8_t tag, DerElement& element) {
    DerElement candidate;
    if (!ParseElement(rest_, candidate) || candidate.tag != tag) {
        return false;
    }
    element = candidate;
    rest_ = rest_.subspan(element.whole.size());
    return true;
}

bool DerReader::SkipIf(std::uint8_t tag) {
    DerElement ignored;
    return Next(tag, ignored);
}

bool DerSingle(DerBytes input, std::uint8_t tag, DerElement& element) {
    DerReader reader(input);
    return reader.Next(tag, element) && reader.AtEnd();
}

bool DerIsOid(const DerElement& element, DerBytes oid) {
    return element.tag == kDerOid && std::ranges::equal(element.value, oid);
}

bool DerIsWellFormed(DerBytes input, int depth) {
    constexpr std::uint8_t kConstructed = 0x20;
    DerReader reader(input);
    while (!reader.AtEnd()) {
        DerElement element;
        if (!reader.Next(element)) {
            return false;
        }
        if ((element.tag & kConstructed) != 0 &&
            (depth == 0 || !DerIsWellFormed(element.value, depth - 1))) {
            return false;
        }
    }
    return true;
}
