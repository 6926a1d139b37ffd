// Log entries of the library, written through the framework's log QoKivZelLg.
#pragma once

#include "Export.h"

#include <ostream>
#include <sstream>

class WinPath;

// One log entry: stream text into it; the destructor writes the entry, also
// while an exception passes.
class QOKIVZELUT_API ZelLogStream : public std::wostringstream {
public:
    ZelLogStream(int level, wchar_t type, bool debug);
    ~ZelLogStream() override;
    ZelLogStream(const ZelLogStream&) = delete;
    ZelLogStream& operator=(const ZelLogStream&) = delete;

    const wchar_t* component;
    int level;
    wchar_t type;
    bool debug;
};

// A Win32 error code streamed as text.
struct QOKIVZELUT_API ErrorW32 {
    explicit ErrorW32(unsigned long c) : code(c) {}
    unsigned long code;
};

// An HRESULT streamed as text.
struct QOKIVZELUT_API ErrorHR {
    explicit ErrorHR(long c) : code(c) {}
    long code;
};

QOKIVZELUT_API std::wostream& operator<<(std::wostream& out, const ErrorW32& e);
QOKIVZELUT_API std::wostream& operator<<(std::wostream& out, const ErrorHR& e);

// The log directory, or null when there is none.
QOKIVZELUT_API const wchar_t* ZelGetLogDir();

// Keeps an existing file at the path before a log is written anew there.
QOKIVZELUT_API void ZelLogBackupFile(const WinPath& path);
