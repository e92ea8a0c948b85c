// A minimal reader of DER-encoded ASN.1, for the structures of an engine's signature. The input is
// untrusted: every length is checked against what is left, and only the forms DER allows are
// accepted (single-byte tags, definite and minimal lengths). Pure: no system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

using DerBytes = std::span<const std::uint8_t>;

inline constexpr std::uint8_t kDerInteger = 0x02;
inline constexpr std::uint8_t kDerBitString = 0x03;
inline constexpr std::uint8_t kDerOctetString = 0x04;
inline constexpr std::uint8_t kDerNull = 0x05;
inline constexpr std::uint8_t kDerOid = 0x06;
inline constexpr std::uint8_t kDerSequence = 0x30;
inline constexpr std::uint8_t kDerSet = 0x31;
// [n] EXPLICIT, constructed, context-specific.
constexpr std::uint8_t DerContext(std::uint8_t n) {
    return static_cast<std::uint8_t>(0xa0 | n);
}

// One element: its tag, its value, and the whole encoding (tag, length and value).
struct DerElement {
    std::uint8_t tag = 0;
    DerBytes value;
    DerBytes whole;
};

// Reads the elements of one level in order.
class DerReader {
public:
    explicit DerReader(DerBytes input) : rest_(input) {}

    bool AtEnd() const { return rest_.empty(); }
    // The next element, whatever its tag; false (and nothing consumed) when it is malformed.
    bool Next(DerElement& element);
    // The next element if its tag is `tag`; false (and nothing consumed) otherwise.
    bool Next(std::uint8_t tag, DerElement& element);
    // Consumes the next element if its tag is `tag`; true when it did.
    bool SkipIf(std::uint8_t tag);

private:
    DerBytes rest_;
};

// The value of `input` when it is exactly one element with tag `tag` and nothing after it.
bool DerSingle(DerBytes input, std::uint8_t tag, DerElement& element);

// Whether `element` is an OBJECT IDENTIFIER whose content octets are `oid`.
bool DerIsOid(const DerElement& element, DerBytes oid);

// Whether `input` is a run of elements, and the value of every constructed one among them is in
// turn, down to `depth` levels: no indefinite length or other BER-only form anywhere in it.
bool DerIsWellFormed(DerBytes input, int depth);
