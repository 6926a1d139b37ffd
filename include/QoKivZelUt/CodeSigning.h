// ZelUt::CodeSigningReader: who signed a file. The name from the signer's
// certificate when the file's Authenticode signature is accepted by the
// system's generic verification (no revocation checks, no user interface);
// otherwise empty.
#pragma once

#include "Export.h"
#include "WinPath.h"

#include <memory>
#include <string>

namespace ZelUt {

class QOKIVZELUT_API CodeSigningReader {
public:
    explicit CodeSigningReader(const WinPath& file);
    ~CodeSigningReader();
    CodeSigningReader(const CodeSigningReader&) = delete;
    CodeSigningReader& operator=(const CodeSigningReader&) = delete;

    // The signer's name, or empty for a missing, unsigned or rejected file.
    // The file is held open (others may read it, not change or replace it)
    // from the verification to the name, which comes from the bytes verified,
    // and closed on return; the signature's handles are kept until the next
    // reading.
    std::wstring readSignerInfo();

private:
    struct Reading;
    void cleanupSignerInfo();

    WinPath m_file;
    std::unique_ptr<Reading> m_reading;
};

} // namespace ZelUt
