// The digest that decides whether an engine file is trusted.
#include "engine/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::string HexOf(const std::string& data, std::size_t chunk) {
    Sha256 hash;
    for (std::size_t at = 0; at < data.size(); at += chunk) {
        hash.Update(data.data() + at, std::min(chunk, data.size() - at));
    }
    const auto digest = hash.Finish();
    return digest ? Sha256::ToHex(*digest).data() : "(no digest)";
}

} // namespace

TEST(Sha256, MatchesPublishedDigestsWhateverTheChunking) {
    EXPECT_EQ(HexOf("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HexOf("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (std::size_t chunk : {1u, 7u, 64u, 1000u}) {
        EXPECT_EQ(HexOf(twoBlocks, chunk),
                  "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    }
    EXPECT_EQ(HexOf(std::string(1000000, 'a'), 4096),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
