// The engine trust this build was configured with. The lists are generated at build time (see
// engine/CMakeLists.txt); this file is compiled once per configuration, so a copy of the library
// with other lists (as the tests build) shares every other object file.
#include "engine/verify.h"

namespace {

// Lowercase hex SHA-256 digests of the engine files this build accepts.
constexpr const char* kFileDigests[] = {
#include "engine_allowlist.inc"
    nullptr};

// Lowercase hex SHA-256 digests of the SubjectPublicKeyInfo of the signers this build trusts.
constexpr const char* kSignerKeys[] = {
#include "engine_signers.inc"
    nullptr};

// The lists without their closing null entry.
constexpr EngineTrust kTrust{std::span(kFileDigests, std::size(kFileDigests) - 1),
                             std::span(kSignerKeys, std::size(kSignerKeys) - 1)};

} // namespace

const EngineTrust& BuiltInEngineTrust() {
    return kTrust;
}
