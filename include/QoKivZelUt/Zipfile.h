// ZelUt::Zipfile: whether a file begins with a ZIP signature.
#pragma once

#include "Export.h"
#include "WinPath.h"

namespace ZelUt {

class QOKIVZELUT_API Zipfile {
public:
    explicit Zipfile(const WinPath& file) : m_file(file) {}
    // A local file header, an end of central directory (an empty archive) or a spanning marker.
    bool isZipfile() const;

private:
    WinPath m_file;
};

} // namespace ZelUt
