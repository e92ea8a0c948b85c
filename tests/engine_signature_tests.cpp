// Trust by the maker's signature, inside the library: the verdict on each signed or damaged
// engine file the build made, how digests and pinned signers combine, reading through the handle
// held open, the DER reader, and a seeded fuzz run over the headers and the certificate table.
#include "engine/authenticode.h"
#include "engine/der.h"
#include "engine/sha256.h"
#include "engine/verify.h"
#include "support/test_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace drvtest;

void PrintTo(SignatureVerdict verdict, std::ostream* out) {
    static const char* const kNames[] = {"Trusted",       "Unreadable",     "NotSigned",
                                         "BadLayout",     "BadMessage",     "ContentMismatch",
                                         "BadSignature",  "NotCodeSigning", "SignerNotPinned",
                                         "ImageMismatch", "NoResources"};
    *out << kNames[static_cast<int>(verdict)];
}

void PrintTo(EngineFileCheck check, std::ostream* out) {
    static const char* const kNames[] = {"Trusted", "Untrusted", "Unreadable", "NoResources"};
    *out << kNames[static_cast<int>(check)];
}

namespace {

std::string ReadBuilt(const std::wstring& relative) {
    std::ifstream in(std::filesystem::path(BuildDir() + L"\\" + relative), std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    if (bytes.empty()) {
        ADD_FAILURE() << "missing build output";
    }
    return bytes;
}

// Maker A's or B's pin, as the build computed it with openssl.
std::string Pin(const wchar_t* maker) {
    std::string pin = ReadBuilt(std::wstring(L"signing\\") + maker + L".spki.sha256");
    pin.erase(std::remove_if(pin.begin(), pin.end(), [](char c) { return std::isspace(c); }),
              pin.end());
    return pin;
}

// An engine file in memory. Reads at or beyond `failFrom` fail, as a device error would.
class MemoryFile final : public EngineFileReader {
public:
    explicit MemoryFile(const std::string& bytes, std::uint64_t failFrom = UINT64_MAX)
        : bytes_(bytes), failFrom_(failFrom) {}

    std::uint64_t Size() const override { return bytes_.size(); }
    std::optional<std::size_t> ReadAt(std::uint64_t offset,
                                      std::span<std::uint8_t> buffer) override {
        ++reads;
        if (offset + buffer.size() > failFrom_ && offset < bytes_.size()) {
            return std::nullopt;
        }
        if (offset >= bytes_.size()) {
            return 0;
        }
        const std::size_t count =
            std::min<std::size_t>(buffer.size(), bytes_.size() - static_cast<std::size_t>(offset));
        std::memcpy(buffer.data(), bytes_.data() + offset, count);
        return count;
    }

    int reads = 0;

private:
    const std::string& bytes_;
    std::uint64_t failFrom_;
};

struct Lists {
    std::vector<std::string> digests;
    std::vector<std::string> signers;
    std::vector<const char*> digestPointers;
    std::vector<const char*> signerPointers;

    Lists(std::vector<std::string> d, std::vector<std::string> s)
        : digests(std::move(d)), signers(std::move(s)) {
        for (const std::string& digest : digests) {
            digestPointers.push_back(digest.c_str());
        }
        for (const std::string& signer : signers) {
            signerPointers.push_back(signer.c_str());
        }
    }
    EngineTrust Trust() const { return {digestPointers, signerPointers}; }
};

SignatureVerdict Verify(const std::string& file, const std::vector<std::string>& pins) {
    MemoryFile reader(file);
    Lists lists({}, pins);
    return VerifyEngineSignature(reader, lists.signerPointers);
}

EngineFileCheck Check(const std::string& file, const Lists& lists) {
    MemoryFile reader(file);
    return CheckEngineImage(reader, lists.Trust());
}

std::string DigestHex(const std::string& bytes) {
    Sha256 hash;
    hash.Update(bytes.data(), bytes.size());
    return Sha256::ToHex(*hash.Finish()).data();
}

class EngineSignature : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        files = new std::map<std::wstring, std::string>;
        for (const wchar_t* name :
             {L"Tolvek_signedA", L"Tolvek_rebuilt_signedA", L"Tolvek_signedB",
              L"Tolvek_signedA_nocodesign", L"Tolvek_signedA_tampered", L"Tolvek_signedA_patched",
              L"Tolvek_signedA_badsig", L"Tolvek_signedA_appended", L"Tolvek_signedA_overlap"}) {
            (*files)[name] = ReadBuilt(std::wstring(L"signing\\") + name + L".dll");
        }
        (*files)[L"Tolvek_unsigned"] = ReadBuilt(L"Tolvek.dll");
    }
    static void TearDownTestSuite() { delete files; }
    static const std::string& File(const wchar_t* name) { return files->at(name); }

    static inline std::map<std::wstring, std::string>* files = nullptr;
    const std::string pinA = Pin(L"makerA");
    const std::string pinB = Pin(L"makerB");
};

TEST_F(EngineSignature, AcceptsEveryBuildSignedByThePinnedMaker) {
    EXPECT_EQ(Verify(File(L"Tolvek_signedA"), {pinA}), SignatureVerdict::Trusted);
    EXPECT_EQ(Verify(File(L"Tolvek_rebuilt_signedA"), {pinA}), SignatureVerdict::Trusted);
    // During a change of keys both are pinned, and files signed with either are accepted.
    EXPECT_EQ(Verify(File(L"Tolvek_signedA"), {pinB, pinA}), SignatureVerdict::Trusted);
    EXPECT_EQ(Verify(File(L"Tolvek_signedB"), {pinB, pinA}), SignatureVerdict::Trusted);
}

TEST_F(EngineSignature, RefusesEachDamagedOrForeignFileForItsOwnReason) {
    const std::pair<const wchar_t*, SignatureVerdict> cases[] = {
        {L"Tolvek_signedA_tampered", SignatureVerdict::ImageMismatch},
        {L"Tolvek_signedA_patched", SignatureVerdict::ContentMismatch},
        {L"Tolvek_signedA_badsig", SignatureVerdict::BadSignature},
        {L"Tolvek_signedA_appended", SignatureVerdict::BadLayout},
        {L"Tolvek_signedA_overlap", SignatureVerdict::BadLayout},
        {L"Tolvek_signedB", SignatureVerdict::SignerNotPinned},
        {L"Tolvek_unsigned", SignatureVerdict::NotSigned},
        {L"Tolvek_signedA_nocodesign", SignatureVerdict::NotCodeSigning},
    };
    for (const auto& [name, verdict] : cases) {
        EXPECT_EQ(Verify(File(name), {pinA}), verdict) << std::filesystem::path(name).string();
    }
    // Not a PE image at all, or too short to be one.
    EXPECT_EQ(Verify(std::string(4096, 'x'), {pinA}), SignatureVerdict::NotSigned);
    EXPECT_EQ(Verify("MZ", {pinA}), SignatureVerdict::NotSigned);
    EXPECT_EQ(Verify("", {pinA}), SignatureVerdict::NotSigned);
}

TEST_F(EngineSignature, TrustsOnlyTheKeysPinned) {
    EXPECT_EQ(Verify(File(L"Tolvek_signedA"), {pinB}), SignatureVerdict::SignerNotPinned);
    EXPECT_EQ(Verify(File(L"Tolvek_signedA"), {}), SignatureVerdict::SignerNotPinned);
    // A pin is the whole digest: a prefix of A's does not pin A.
    EXPECT_EQ(Verify(File(L"Tolvek_signedA"), {pinA.substr(0, 63)}),
              SignatureVerdict::SignerNotPinned);
}

// A listed digest trusts a file whatever its signature; a pinned signer trusts what it signed;
// neither list trusts a signed file on its own behalf.
TEST_F(EngineSignature, DigestsAndPinnedSignersEachTrustTheirOwnFiles) {
    const std::string& unsignedEngine = File(L"Tolvek_unsigned");
    const std::string& signedA = File(L"Tolvek_signedA");
    const std::string unsignedDigest = DigestHex(unsignedEngine);

    const Lists digestsOnly({unsignedDigest}, {});
    EXPECT_EQ(Check(unsignedEngine, digestsOnly), EngineFileCheck::Trusted);
    EXPECT_EQ(Check(signedA, digestsOnly), EngineFileCheck::Untrusted);

    const Lists signersOnly({}, {pinA});
    EXPECT_EQ(Check(signedA, signersOnly), EngineFileCheck::Trusted);
    EXPECT_EQ(Check(File(L"Tolvek_rebuilt_signedA"), signersOnly), EngineFileCheck::Trusted);
    EXPECT_EQ(Check(unsignedEngine, signersOnly), EngineFileCheck::Untrusted);
    EXPECT_EQ(Check(File(L"Tolvek_signedA_tampered"), signersOnly), EngineFileCheck::Untrusted);

    const Lists both({unsignedDigest}, {pinA});
    EXPECT_EQ(Check(unsignedEngine, both), EngineFileCheck::Trusted);
    EXPECT_EQ(Check(signedA, both), EngineFileCheck::Trusted);
    EXPECT_EQ(Check(File(L"Tolvek_signedB"), both), EngineFileCheck::Untrusted);
    // A damaged copy of a listed file is listed no more.
    std::string flipped = unsignedEngine;
    flipped.back() ^= 0x01;
    EXPECT_EQ(Check(flipped, both), EngineFileCheck::Untrusted);
}

// A file that cannot be read through gives no answer, not a verdict of damage: the library then
// reports it as not loadable, whichever list it was being checked against.
TEST_F(EngineSignature, AReadFailureIsNoAnswerNotDamage) {
    const std::string& signedA = File(L"Tolvek_signedA");
    const Lists digests({DigestHex(signedA)}, {});
    const Lists signers({}, {pinA});
    for (const Lists* lists : {&digests, &signers}) {
        // Fails at once, in the middle of the image, and in the certificate table.
        for (std::uint64_t failFrom : {std::uint64_t{0}, std::uint64_t{signedA.size() / 2},
                                       std::uint64_t{signedA.size() - 100}}) {
            MemoryFile reader(signedA, failFrom);
            EXPECT_EQ(CheckEngineImage(reader, lists->Trust()), EngineFileCheck::Unreadable)
                << "reads fail from " << failFrom;
        }
    }
    // The link to /proc/self/mem the other suites use: it opens, and its reads fail.
    const std::wstring unreadable = BuildDir() + L"\\..\\tests\\unreadable_engine\\Tolvek.dll";
    unique_hfile file = OpenEngineFileForVerification(unreadable.c_str());
    ASSERT_TRUE(file);
    HandleFileReader reader(file.get());
    EXPECT_EQ(CheckEngineImage(reader, signers.Trust()), EngineFileCheck::Unreadable);
}

// The library checks the file through the handle it holds until the image is mapped; while it
// holds it nobody can change the file.
TEST_F(EngineSignature, ChecksThroughTheHandleHeldOpenWhichLocksTheFile) {
    TestTree tree;
    tree.WriteFile(L"Tolvek.dll", File(L"Tolvek_signedA"));
    const std::wstring path = tree.Path(L"Tolvek.dll");
    unique_hfile file = OpenEngineFileForVerification(path.c_str());
    ASSERT_TRUE(file);
    HandleFileReader reader(file.get());
    EXPECT_EQ(reader.Size(), File(L"Tolvek_signedA").size());
    const Lists signers({}, {pinA});
    EXPECT_EQ(CheckEngineImage(reader, signers.Trust()), EngineFileCheck::Trusted);
    // Twice through the same handle: the check does not depend on the file pointer.
    EXPECT_EQ(CheckEngineImage(reader, signers.Trust()), EngineFileCheck::Trusted);
    unique_hfile writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer) << "the file could be opened for writing while held";
}

// --- The fuzz run ---------------------------------------------------------------------------

struct ByteRange {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool Contains(std::size_t at) const { return at >= begin && at < end; }
};

std::uint32_t U32At(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

// Where the parts of the signed file lie, read from the untouched file. "Unprotected" bytes are
// those no signature or digest covers and the check does not judge, so that a change to them may
// leave the file accepted: the CheckSum field, the SignedData's list of digest algorithms, the
// certificates the signature carries (except the signer's SubjectPublicKeyInfo), and the name of
// the signer's signature algorithm (any of those the check allows verifies with the same key).
// A change anywhere else must be refused: the image bytes the digest covers, the Security
// directory entry, the WIN_CERTIFICATE header and padding, the message's structure and versions,
// the signed content, the signer's identity, digest algorithm, signed attributes and signature
// value, and the signer's key.
struct SignedFileMap {
    std::size_t headersEnd = 0;
    ByteRange table;
    std::vector<ByteRange> unprotected;
    std::vector<std::size_t> fields; // 32-bit fields worth boundary values

    bool Unprotected(std::size_t at) const {
        return std::any_of(unprotected.begin(), unprotected.end(),
                           [&](const ByteRange& range) { return range.Contains(at); });
    }
};

SignedFileMap MapSignedFile(const std::string& file, const std::string& signerSpki) {
    SignedFileMap map;
    const auto* base = reinterpret_cast<const std::uint8_t*>(file.data());
    const auto rangeOf = [&](DerBytes bytes) {
        const std::size_t begin = static_cast<std::size_t>(bytes.data() - base);
        return ByteRange{begin, begin + bytes.size()};
    };
    const std::size_t nt = U32At(file, 0x3c);
    const std::size_t optional = nt + 24;
    const bool pe32 = (U32At(file, optional) & 0xffff) == 0x10b;
    const std::size_t security = optional + (pe32 ? 96 : 112) + 4 * 8;
    map.headersEnd = U32At(file, optional + 60);
    map.table = {U32At(file, security), U32At(file, security) + U32At(file, security + 4)};
    map.unprotected.push_back({optional + 64, optional + 68});
    map.fields = {
        0x3c,     nt + 4,       nt + 20,         optional + 60,       optional + (pe32 ? 92 : 108),
        security, security + 4, map.table.begin, map.table.begin + 4, map.table.begin + 8};

    DerElement contentInfo, type, explicitContent, signedData;
    DerReader outer(DerBytes(base + map.table.begin + 8, map.table.end - map.table.begin - 8));
    EXPECT_TRUE(outer.Next(kDerSequence, contentInfo));
    DerReader info(contentInfo.value);
    EXPECT_TRUE(info.Next(kDerOid, type) && info.Next(DerContext(0), explicitContent));
    EXPECT_TRUE(DerSingle(explicitContent.value, kDerSequence, signedData));
    DerReader fields(signedData.value);
    DerElement version, algorithms, content, certificates, signerInfos, signer;
    EXPECT_TRUE(fields.Next(kDerInteger, version) && fields.Next(kDerSet, algorithms) &&
                fields.Next(kDerSequence, content) && fields.Next(DerContext(0), certificates) &&
                fields.Next(kDerSet, signerInfos) && fields.AtEnd());
    EXPECT_TRUE(DerSingle(signerInfos.value, kDerSequence, signer));
    DerReader signerFields(signer.value);
    DerElement signerVersion, sid, digestAlgorithm, attributes, signatureAlgorithm, signature;
    EXPECT_TRUE(signerFields.Next(kDerInteger, signerVersion) &&
                signerFields.Next(kDerSequence, sid) &&
                signerFields.Next(kDerSequence, digestAlgorithm) &&
                signerFields.Next(DerContext(0), attributes) &&
                signerFields.Next(kDerSequence, signatureAlgorithm) &&
                signerFields.Next(kDerOctetString, signature) && signerFields.AtEnd());

    const ByteRange bag = rangeOf(certificates.whole);
    const std::size_t spki = file.find(signerSpki, bag.begin);
    EXPECT_TRUE(spki != std::string::npos && spki + signerSpki.size() <= bag.end);
    map.unprotected.push_back(rangeOf(algorithms.whole));
    map.unprotected.push_back({bag.begin, spki});
    map.unprotected.push_back({spki + signerSpki.size(), bag.end});
    map.unprotected.push_back(rangeOf(signatureAlgorithm.whole));
    return map;
}

// Mutates the headers and the certificate table of the signed engine, thousands of times from a
// fixed seed: single bytes, boundary values in the fields that locate the signature, truncation
// and appended bytes. Nothing may crash, and nothing may be accepted unless every changed byte is
// unprotected (see SignedFileMap).
TEST_F(EngineSignature, FuzzedHeadersAndCertificateTableAreRefusedAndNeverCrash) {
    constexpr int kIterations = 3000;
    constexpr unsigned kSeed = 20240611;
    const std::string& original = File(L"Tolvek_signedA");
    const std::vector<std::string> pins = {pinA};
    const SignedFileMap map = MapSignedFile(original, ReadBuilt(L"signing\\makerA.spki.der"));
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(Verify(original, pins), SignatureVerdict::Trusted);

    const std::uint32_t size = static_cast<std::uint32_t>(original.size());
    const std::uint32_t tableSize = static_cast<std::uint32_t>(map.table.end - map.table.begin);
    const std::uint32_t boundaries[] = {0,
                                        1,
                                        7,
                                        8,
                                        0x7fffffffu,
                                        0x80000000u,
                                        0xffffffffu,
                                        size,
                                        size - 8,
                                        size + 8,
                                        static_cast<std::uint32_t>(map.table.begin),
                                        tableSize,
                                        tableSize - 8,
                                        tableSize + 8};

    std::mt19937 random(kSeed);
    const auto below = [&](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
    };
    std::string file = original;
    std::map<int, int> verdicts;
    int acceptedUnprotected = 0;
    std::vector<std::string> wronglyAccepted;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < kIterations; ++i) {
        const std::size_t kind = below(100);
        SignatureVerdict verdict;
        std::vector<std::size_t> changed;
        bool sameLength = true;
        if (kind < 92) {
            std::vector<std::size_t> offsets;
            if (kind < 40) {
                offsets.push_back(below(map.headersEnd));
            } else if (kind < 80) {
                offsets.push_back(map.table.begin + below(map.table.end - map.table.begin));
            } else {
                const std::size_t at = map.fields[below(map.fields.size())];
                const std::uint32_t value = boundaries[below(std::size(boundaries))];
                for (std::size_t b = 0; b < 4; ++b) {
                    if (file[at + b] != static_cast<char>(value >> (8 * b))) {
                        offsets.push_back(at + b);
                    }
                }
                if (offsets.empty()) {
                    --i; // the field already held the value: no mutation
                    continue;
                }
                std::string mutated = file;
                std::memcpy(mutated.data() + at, &value, 4);
                for (std::size_t o : offsets) {
                    file[o] = mutated[o];
                }
                changed = offsets;
                offsets.clear();
            }
            for (std::size_t at : offsets) {
                file[at] = static_cast<char>(file[at] ^ (1 + below(255)));
                changed.push_back(at);
            }
            verdict = Verify(file, pins);
            for (std::size_t at : changed) {
                file[at] = original[at];
            }
        } else {
            sameLength = false;
            const std::string mutated =
                kind < 96 ? original.substr(0, below(original.size()))
                          : original + std::string(1 + below(16), static_cast<char>(below(256)));
            verdict = Verify(mutated, pins);
        }
        ++verdicts[static_cast<int>(verdict)];
        if (verdict != SignatureVerdict::Trusted) {
            continue;
        }
        const bool allowed =
            sameLength && std::all_of(changed.begin(), changed.end(),
                                      [&](std::size_t at) { return map.Unprotected(at); });
        if (allowed) {
            ++acceptedUnprotected;
        } else if (wronglyAccepted.size() < 10) {
            wronglyAccepted.push_back("iteration " + std::to_string(i) + ", kind " +
                                      std::to_string(kind) + ", first offset " +
                                      std::to_string(changed.empty() ? 0 : changed.front()));
        }
    }
    ASSERT_EQ(file, original);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);

    std::ostringstream summary;
    for (const auto& [verdict, count] : verdicts) {
        summary << " ";
        PrintTo(static_cast<SignatureVerdict>(verdict), &summary);
        summary << "=" << count;
    }
    std::cout << "fuzz: " << kIterations << " mutations of a " << original.size()
              << "-byte signed engine (seed " << kSeed << ") in " << elapsed.count()
              << " ms; verdicts:" << summary.str()
              << "; accepted, all in unprotected bytes: " << acceptedUnprotected << "\n";
    EXPECT_TRUE(wronglyAccepted.empty()) << [&] {
        std::string text = "accepted with protected bytes changed:";
        for (const std::string& line : wronglyAccepted) {
            text += "\n  " + line;
        }
        return text;
    }();
}

// Every byte of the certificate table flipped in turn (the random run above may miss single
// bytes that matter, such as a version number): a flip of a protected byte is refused, whatever
// it hits; a flip of an unprotected one may be accepted.
TEST_F(EngineSignature, EveryProtectedByteOfTheSignatureIsChecked) {
    const std::string& original = File(L"Tolvek_signedA");
    const SignedFileMap map = MapSignedFile(original, ReadBuilt(L"signing\\makerA.spki.der"));
    ASSERT_FALSE(HasFailure());
    std::string file = original;
    int refused = 0;
    int unprotected = 0;
    std::vector<std::size_t> wronglyAccepted;
    for (std::size_t at = map.table.begin; at < map.table.end; ++at) {
        file[at] = static_cast<char>(file[at] ^ 0x5a);
        const SignatureVerdict verdict = Verify(file, {pinA});
        file[at] = original[at];
        if (verdict != SignatureVerdict::Trusted) {
            ++refused;
        } else if (map.Unprotected(at)) {
            ++unprotected;
        } else {
            wronglyAccepted.push_back(at - map.table.begin);
        }
    }
    std::cout << "flipped each of " << map.table.end - map.table.begin
              << " certificate table bytes: " << refused << " refused, " << unprotected
              << " unprotected accepted\n";
    EXPECT_EQ(wronglyAccepted, std::vector<std::size_t>{}) << "offsets in the table";
}

TEST(DerReader, ReadsDefiniteMinimalLengthsAndRefusesEverythingElse) {
    const auto read = [](std::vector<std::uint8_t> bytes, std::size_t* valueSize = nullptr) {
        DerElement element;
        DerReader reader(bytes);
        const bool ok = reader.Next(element) && reader.AtEnd();
        if (ok && valueSize != nullptr) {
            *valueSize = element.value.size();
        }
        return ok;
    };
    std::size_t size = 0;
    EXPECT_TRUE(read({0x04, 0x02, 0xaa, 0xbb}, &size));
    EXPECT_EQ(size, 2u);
    std::vector<std::uint8_t> long200 = {0x04, 0x81, 200};
    long200.resize(3 + 200);
    EXPECT_TRUE(read(long200, &size));
    EXPECT_EQ(size, 200u);
    std::vector<std::uint8_t> long300 = {0x04, 0x82, 0x01, 0x2c};
    long300.resize(4 + 300);
    EXPECT_TRUE(read(long300, &size));
    EXPECT_EQ(size, 300u);

    EXPECT_FALSE(read({0x04, 0x03, 0xaa, 0xbb}));             // longer than what is left
    EXPECT_FALSE(read({0x04, 0x81, 0x02, 0xaa, 0xbb}));       // long form for a short length
    EXPECT_FALSE(read({0x04, 0x82, 0x00, 0x02, 0xaa, 0xbb})); // leading zero length byte
    EXPECT_FALSE(read({0x04, 0x80, 0xaa, 0x00, 0x00}));       // indefinite length
    EXPECT_FALSE(read({0x04, 0x85, 0, 0, 0, 1, 0}));          // five length bytes
    EXPECT_FALSE(read({0x04, 0x84, 0xff, 0xff, 0xff, 0xff})); // 4 GiB promised, nothing there
    EXPECT_FALSE(read({0x1f, 0x01, 0x00}));                   // high tag number form
    EXPECT_FALSE(read({0x04}));
    EXPECT_FALSE(read({}));

    // Reading by tag consumes nothing on a mismatch.
    const std::vector<std::uint8_t> two = {0x02, 0x01, 0x05, 0x04, 0x00};
    DerReader reader(two);
    DerElement element;
    EXPECT_FALSE(reader.Next(kDerOctetString, element));
    EXPECT_TRUE(reader.Next(kDerInteger, element));
    EXPECT_EQ(element.whole.size(), 3u);
    EXPECT_TRUE(reader.SkipIf(kDerOctetString));
    EXPECT_TRUE(reader.AtEnd());

    // Well-formed all the way down: a BER-only form nested in a constructed element is refused.
    const std::vector<std::uint8_t> nested = {0x30, 0x05, 0xa0, 0x03, 0x02, 0x01, 0x01};
    EXPECT_TRUE(DerIsWellFormed(nested, 2));
    EXPECT_FALSE(DerIsWellFormed(nested, 1)); // deeper than allowed
    const std::vector<std::uint8_t> indefinite = {0x30, 0x06, 0xa0, 0x80, 0x05, 0x00, 0x00, 0x00};
    EXPECT_FALSE(DerIsWellFormed(indefinite, 8));
}

} // namespace
