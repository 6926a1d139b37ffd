// ZelUt::ZelCreateSx: a self-extracting executable made of the stub program
// followed by a cabinet; the stub finds the cabinet behind its own image.
#pragma once

#include "Export.h"
#include "WinPath.h"

namespace ZelUt {

class QOKIVZELUT_API ZelCreateSx {
public:
    ZelCreateSx(const WinPath& stub, const WinPath& cabinet, const WinPath& target);
    // False when an input is missing, the copy failed or the target is not there at the end.
    bool createSx();

private:
    WinPath m_stub;
    WinPath m_cabinet;
    WinPath m_target;
};

} // namespace ZelUt
