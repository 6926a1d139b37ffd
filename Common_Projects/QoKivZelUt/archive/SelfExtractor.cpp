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

// The new executable is written beside the target and takes its place only
// when complete: a failed build leaves the previous one as it was and no
// temporary file behind. A target that is one of the inputs is refused.
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
    if (m_target == m_stub || m_target == m_cabinet) {
        ZEL_LOG_ERROR << L"Selfextracting executable " << m_target << L" would replace one of its own inputs; refused";
        return false;
    }
    ZEL_LOG_INFO << L"Creating selfextracting executable " << m_target << L" from " << m_stub << L" and " << m_cabinet;
    WinAPI::ReplacementFile next(WinAPI::fullpath(m_target));
    bool copied = false;
    try {
        copied = appendFile(next.handle(), m_stub) && appendFile(next.handle(), m_cabinet);
        if (!copied)
            ZEL_LOG_ERROR << L"Could not copy " << m_stub << L" and " << m_cabinet << L" into " << next.path() << L": "
                          << ErrorW32(::GetLastError());
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"Could not copy " << m_stub << L" and " << m_cabinet << L" into " << next.path() << L": " << e;
    }
    if (!copied)
        return false;
    next.commit();
    if (!m_target.exists()) {
        ZEL_LOG_ERROR << L"Selfextracting executable " << m_target << L" should be present but does not exist!";
        return false;
    }
    return true;
}

} // namespace ZelUt
