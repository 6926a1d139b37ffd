#include <QoKivZelUt/ZelException.h>
#include <QoKivZelUt/ZelLog.h>
#include <QoKivZelUt/WinPath.h>

#include <QoKivZelLg.h>

#include "foundation/Log.h"

ZelLogStream::ZelLogStream(int lvl, wchar_t typ, bool dbg)
    : component(L"QoKivZelUt"), level(lvl), type(typ), debug(dbg)
{
}

ZelLogStream::~ZelLogStream()
{
    try {
        ZelLgWrite(component, level, type, debug ? 1 : 0, str().c_str());
    } catch (...) {
        // A log entry that cannot be built is dropped; a destructor must not throw.
    }
}

std::wostream& operator<<(std::wostream& out, const ErrorW32& e)
{
    return out << CZelException::getSystemErrorText(e.code);
}

std::wostream& operator<<(std::wostream& out, const ErrorHR& e)
{
    return out << CZelException::getSystemErrorText(static_cast<unsigned long>(e.code));
}

const wchar_t* ZelGetLogDir()
{
    return ZelLgGetLogDir();
}

// A log that cannot be kept is written over by the next one: the caller cannot
// stop that, but the log says so.
void ZelLogBackupFile(const WinPath& path)
{
    if (!ZelLgBackupFile(path.str().c_str())) {
        DWORD error = ::GetLastError();
        ZEL_LOG_WARNING << L"The earlier log " << path << L" could not be kept: " << ErrorW32(error);
    }
}
