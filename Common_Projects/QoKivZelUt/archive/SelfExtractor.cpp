#include <QoKivZelUt/SelfExtractor.h>
#include <QoKivZelUt/WinAPI.h>

#include "foundation/Log.h"

#include <cstring>
#include <vector>

namespace ZelUt {

namespace {

const size_t kCopyBuffer = 1 << 20;

// Appends the whole input to the output; false (with the error set) on any failure.
bool appendFile(HANDLE output, const WinPath& input)
{
    WinAPI::FileHandle source = WinAPI::openFileReadOnly(input);
    std::vector<char> buffer(kCopyBuffer);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            return false;
        if (got == 0)
            return true;
        WinAPI::writeFile(output, buffer.data(), got);
    }
}

} // namespace

ZelCreateSx::ZelCreateSx(const WinPath& stub, const WinPath& cabinet, const WinPath& target)
    : m_stub(stub), m_cabinet(cabinet), m_target(target)
{
}

// A copy that fails half-way (a full disk, an input that cannot be read) is
// reported and leaves neither a truncated executable nor the temporary file.
bool ZelCreateSx::createSx()
{
    if (!m_stub.exists()) {
        ZEL_LOG_ERROR << L"KivSx selfextractor executable not found at " << m_stub;
        return false;
    }
    if (!m_cabinet.exists()) {
        ZEL_LOG_ERROR << L"Cab file not found at " << m_cabinet;
        return false;
    }
    WinAPI::deleteFile(m_target);
    WinPath temporary = WinAPI::getTempFileName(WinAPI::fullpath(WinPath(L".")), L"exe");
    WinAPI::deleteFile(temporary);
    ZEL_LOG_INFO << L"Creating selfextracting executable " << m_target << L" from " << m_stub << L" and " << m_cabinet;
    bool copied = false;
    try {
        WinAPI::FileHandle output = WinAPI::createFile(temporary);
        copied = appendFile(output, m_stub) && appendFile(output, m_cabinet);
        if (!copied)
            ZEL_LOG_ERROR << L"Could not copy " << m_stub << L" and " << m_cabinet << L" into " << temporary << L": "
                          << ErrorW32(::GetLastError());
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"Could not copy " << m_stub << L" and " << m_cabinet << L" into " << temporary << L": " << e;
    }
    if (!copied) {
        WinAPI::deleteFile(temporary);
        return false;
    }
    WinAPI::moveFile(temporary, m_target);
    if (!m_target.exists()) {
        ZEL_LOG_ERROR << L"Selfextracting executable " << m_target << L" should be present but does not exist!";
        return false;
    }
    return true;
}

} // namespace ZelUt
