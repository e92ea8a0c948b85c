// Owners of the handles of the system's cryptography: CNG's hashes (bcrypt) and crypt32's
// messages, certificate stores and certificates.
#pragma once

#include "base/unique_handle.h"

#include <bcrypt.h>
#include <wincrypt.h>

inline NTSTATUS CloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm) noexcept {
    return BCryptCloseAlgorithmProvider(algorithm, 0);
}
inline BOOL CloseCertStore(HCERTSTORE store) noexcept {
    return CertCloseStore(store, 0);
}

using unique_bcrypt_algorithm =
    unique_any<close_traits<BCRYPT_ALG_HANDLE, &CloseAlgorithmProvider>>;
using unique_bcrypt_hash = unique_any<close_traits<BCRYPT_HASH_HANDLE, &BCryptDestroyHash>>;
using unique_crypt_msg = unique_any<close_traits<HCRYPTMSG, &CryptMsgClose>>;
using unique_cert_store = unique_any<close_traits<HCERTSTORE, &CloseCertStore>>;
using unique_cert_context = unique_any<close_traits<PCCERT_CONTEXT, &CertFreeCertificateContext>>;
