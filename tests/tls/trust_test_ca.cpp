// Makes a test certificate authority trusted in the Wine prefix this program runs in:
//   trust_test_ca.exe CA.cer      (the certificate, DER)
// It adds the certificate to the current user's Root store, which Wine keeps in the prefix's
// registry (user.reg: HKCU\Software\Microsoft\SystemCertificates\Root\Certificates\<SHA-1>).
// WinHTTP checks a server's chain against the Root store, which Wine makes of that key, the
// local machine's one and the Linux host's CA bundle (read at run time, never written back), so
// the CA is trusted by programs of this prefix only. Adding it again changes nothing.
#include "base/crypt_handles.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: trust_test_ca.exe CA.cer\n", stderr);
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
    if (der.empty()) {
        std::fwprintf(stderr, L"trust_test_ca: cannot read %ls\n", argv[1]);
        return 2;
    }
    const unique_cert_store root(CertOpenSystemStoreW(0, L"ROOT"));
    if (!root || !CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING, der.data(),
                                                   static_cast<DWORD>(der.size()),
                                                   CERT_STORE_ADD_USE_EXISTING, nullptr)) {
        std::fprintf(stderr, "trust_test_ca: the Root store refused it, error %lu\n",
                     GetLastError());
        return 3;
    }
    return 0;
}
