// ZelUt::CodeSigningReader: who signed a file. The name from the signer's
// certificate when the file's Authenticode signature is accepted by the
// system's generic verification (no revocation checks, no user interface);
// otherwise empty.
#pragma once

#include "Export.h"
#include "WinAPI.h"
#include "WinPath.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace ZelUt {

struct CertCloseStoreClass {
    static void close(HCERTSTORE store) { ::CertCloseStore(store, 0); }
};
struct CryptMsgCloseClass {
    static void close(HCRYPTMSG message) { ::CryptMsgClose(message); }
};
struct CertFreeCertificateContextClass {
    static void close(PCCERT_CONTEXT certificate) { ::CertFreeCertificateContext(certificate); }
};

class QOKIVZELUT_API CodeSigningReader {
public:
    explicit CodeSigningReader(const WinPath& file);
    ~CodeSigningReader();
    CodeSigningReader(const CodeSigningReader&) = delete;
    CodeSigningReader& operator=(const CodeSigningReader&) = delete;

    // The signer's name, or empty for a missing, unsigned or rejected file.
    // The handles of a reading are kept until the next reading.
    std::wstring readSignerInfo();

private:
    void initSignerInfo();
    std::vector<BYTE> readSignerInfoParam() const;
    std::wstring readSigner(const CMSG_SIGNER_INFO& signer);
    void cleanupSignerInfo();

    WinPath m_file;
    DWORD m_encoding = 0;
    WinAPI::AutoHandle<CertCloseStoreClass, HCERTSTORE> m_store;
    WinAPI::AutoHandle<CryptMsgCloseClass, HCRYPTMSG> m_message;
    WinAPI::AutoHandle<CertFreeCertificateContextClass, PCCERT_CONTEXT> m_certificate;
};

} // namespace ZelUt
