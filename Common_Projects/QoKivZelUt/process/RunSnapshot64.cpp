#include <QoKivZelUt/LockedModules.h>
#include <QoKivZelUt/XmlCommunicator.h>

#include "foundation/Log.h"

#include <cwchar>
#include <cwctype>

namespace {

const DWORD kCompanionTimeoutMs = 40000;

WinPath companionPath()
{
    return WinAPI::getModuleFileName(nullptr).getParent() / L"QoSnapshot64.exe";
}

} // namespace

namespace ZelUt {

unsigned long long parseMessageNumber(const std::wstring& text)
{
    const wchar_t* begin = text.c_str();
    wchar_t* end = nullptr;
    unsigned long long value = std::wcstoull(begin, &end, 10);
    while (end && std::iswspace(*end))
        ++end;
    if (end != begin && end && *end == L'\0')
        return value;
    return std::wcstoull(begin, nullptr, 16);
}

} // namespace ZelUt

RunSnapshot64::RunSnapshot64() : m_process(companionPath(), WinPath()) {}

RunSnapshot64::~RunSnapshot64()
{
    if (m_exitCode == STILL_ACTIVE && m_process) {
        try {
            m_process.terminate(1, false);
        } catch (const CZelException& e) {
            ZEL_LOG_ERROR << e;
        }
        ZEL_LOG_ERROR << L"QoSnapshot64 hung and was terminated";
    }
}

void RunSnapshot64::startQoSnapshot64(const std::wstring& arguments)
{
    m_process.setArguments(arguments);
    m_process.start(true);
}

void RunSnapshot64::waitForProcess()
{
    if (!m_process)
        return;
    if (m_process.wait(nullptr, kCompanionTimeoutMs)) {
        m_exitCode = m_process.getExitCode();
        if (m_exitCode == 1)
            ZEL_LOG_INFO << L"QoSnapshot64 exited with 1";
        else if (m_exitCode != 0)
            ZEL_LOG_WARNING << L"Error in QoSnapshot64: " << m_exitCode;
        return;
    }
    m_process.terminate(1, true);
    m_exitCode = 0;
    ZEL_LOG_ERROR << L"QoSnapshot64 hung and was terminated";
}

void RunSnapshot64::readExceptionInfo(const CKIVSetupXmlCommunicator& message)
{
    std::wstring code = message.getValue(L"errorCode");
    if (!code.empty())
        throw CZelException(static_cast<unsigned long>(ZelUt::parseMessageNumber(code)), message.getValue(L"errorText"));
}

ZelLockedModuleInfo::ModuleInfo RunSnapshot64::readFileInUseStatus()
{
    CKIVSetupXmlCommunicator message;
    std::wstring output = m_process.getOutput();
    if (!message.readXml(output))
        throw CZelException(ERROR_INVALID_DATA, L"Can't parse xml string from snapshot64 process: > " + output);
    readExceptionInfo(message);
    ZelLockedModuleInfo::ModuleInfo info;
    info.m_app = message.getValue(L"m_app");
    info.m_title = message.getValue(L"m_title");
    info.m_visible = _wcsicmp(message.getValue(L"m_visible").c_str(), L"true") == 0;
    std::wstring window = message.getValue(L"m_hWnd");
    info.m_hWnd = window.empty() ? nullptr : reinterpret_cast<HWND>(static_cast<ULONG_PTR>(ZelUt::parseMessageNumber(window)));
    return info;
}

unsigned long RunSnapshot64::readProcessResult()
{
    CKIVSetupXmlCommunicator message;
    std::wstring output = m_process.getOutput();
    if (!message.readXml(output))
        throw CZelException(ERROR_INVALID_DATA, L"Can't parse xml string from snapshot64 process: <" + output + L">");
    readExceptionInfo(message);
    return static_cast<unsigned long>(ZelUt::parseMessageNumber(message.getValue(L"errorLevel")));
}

void RunSnapshot64::writeExceptionArgs(const CZelException& e)
{
    CKIVSetupXmlCommunicator message;
    message.setValue(L"exceptionCode", std::to_wstring(e.getErrorCode()));
    message.setValue(L"exceptionText", e.getMessage());
    m_process.writeInput(message.toString());
}

ZelLockedModuleInfo::ModuleInfo RunSnapshot64::getLockedModuleInfo(const WinPath& module)
{
    return getLockedModuleInfo(module, 0);
}

// The process to leave out travels as a second argument, "/skipProcess:ID".
ZelLockedModuleInfo::ModuleInfo RunSnapshot64::getLockedModuleInfo(const WinPath& module, unsigned long skipProcessId)
{
    std::wstring arguments = L"/moduleInfo:" + module.getQuoted();
    if (skipProcessId)
        arguments += L" /skipProcess:" + std::to_wstring(skipProcessId);
    startQoSnapshot64(arguments);
    waitForProcess();
    return readFileInUseStatus();
}

unsigned long RunSnapshot64::testReturnValue(unsigned long value)
{
    startQoSnapshot64(L"/testReturnValue:" + std::to_wstring(value));
    waitForProcess();
    return readProcessResult();
}

void RunSnapshot64::testExceptionPropagation(const CZelException& e)
{
    startQoSnapshot64(L"/throwException");
    writeExceptionArgs(e);
    waitForProcess();
    readProcessResult();
}
