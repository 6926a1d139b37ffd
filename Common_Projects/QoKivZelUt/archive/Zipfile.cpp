#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/Zipfile.h>

#include "foundation/ErrorText.h"

namespace ZelUt {

bool Zipfile::isZipfile() const
{
    if (!m_file.exists())
        return false;
    WinAPI::FileHandle file = WinAPI::openFileReadOnly(m_file);
    unsigned char head[4] = {};
    DWORD got = 0;
    if (!::ReadFile(file, head, sizeof head, &got, nullptr))
        ZelUt::detail::throwLastError(L"Could not read the beginning of " + m_file.str());
    if (got < sizeof head)
        return false;
    bool known = (head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6) || (head[2] == 7 && head[3] == 8);
    return head[0] == 'P' && head[1] == 'K' && known;
}

} // namespace ZelUt
