#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/SystemQueries.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"
#include "foundation/Seam.h"
#include "process/SessionApi.h"

#include <aclapi.h>
#include <psapi.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <algorithm>

using ZelUt::detail::throwLastError;

namespace ZelUt {

namespace {

const unsigned long kNoSession = 0xFFFFFFFF;

} // namespace

bool SessionApi::processIdToSessionId(unsigned long pid, unsigned long& session, unsigned long& error)
{
    // Some implementations report success without writing the answer: a
    // sentinel tells that apart from a real session id.
    DWORD answer = kNoSession;
    if (!ProcessIdToSessionId(pid, &answer)) {
        error = GetLastError();
        return false;
    }
    if (answer == kNoSession) {
        error = ERROR_INVALID_DATA;
        return false;
    }
    session = answer;
    return true;
}

bool SessionApi::enumProcesses(std::vector<unsigned long>& pids, unsigned long& needed, unsigned long& error)
{
    std::vector<DWORD> ids(pids.size());
    DWORD bytes = 0;
    if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) {
        error = GetLastError();
        return false;
    }
    size_t count = bytes / sizeof(DWORD);
    if (count >= ids.size()) {  // the list may have been cut: ask for more room
        needed = static_cast<unsigned long>(ids.size() * 2);
        error = ERROR_MORE_DATA;
        return false;
    }
    pids.assign(ids.begin(), ids.begin() + count);
    return true;
}

bool SessionApi::wtsEnumerateProcesses(std::vector<WtsProcess>& processes, unsigned long& error)
{
    WTS_PROCESS_INFOW* list = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) {
        error = GetLastError();
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        WtsProcess p{list[i].pProcessName ? list[i].pProcessName : L"", list[i].ProcessId, list[i].SessionId, L""};
        wchar_t* sid = nullptr;
        if (list[i].pUserSid && ConvertSidToStringSidW(list[i].pUserSid, &sid)) {
            WinAPI::LocalMemory release(sid);
            p.sid = sid;
        }
        processes.push_back(p);
    }
    WTSFreeMemory(list);
    return true;
}

WinAPI::WindowsVersion SessionApi::windowsVersion()
{
    return WinAPI::getWindowsVersion();
}

bool SessionApi::openProcessToken(HANDLE process, unsigned long access, HANDLE& token)
{
    return OpenProcessToken(process, access, &token) != FALSE;
}

bool SessionApi::duplicatePrimaryToken(HANDLE token, HANDLE& duplicate)
{
    return DuplicateTokenEx(token, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &duplicate) != FALSE;
}

bool SessionApi::impersonateLoggedOnUser(HANDLE token)
{
    return ImpersonateLoggedOnUser(token) != FALSE;
}

bool SessionApi::createProcessAsUser(HANDLE token, const wchar_t* application, wchar_t* commandLine,
                                     unsigned long flags, void* environment, const wchar_t* directory,
                                     STARTUPINFOW& startup, PROCESS_INFORMATION& info)
{
    return CreateProcessAsUserW(token, application, commandLine, nullptr, nullptr, TRUE, flags, environment,
                                directory, &startup, &info) != FALSE;
}

bool SessionApi::hasSuite(unsigned short suite)
{
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.wSuiteMask = suite;
    DWORDLONG condition = VerSetConditionMask(0, VER_SUITENAME, VER_OR);
    if (VerifyVersionInfoW(&info, VER_SUITENAME, condition))
        return true;
    DWORD error = GetLastError();
    if (error == ERROR_OLD_WIN_VERSION)
        return false;
    throw CZelException(error, L"Could not determine if OS is a terminal server");
}

SessionApi* replaceApi(SessionApi* api)
{
    return detail::Seam<SessionApi>::replace(api);
}

SessionApi& sessionApi()
{
    return detail::Seam<SessionApi>::current();
}

unsigned long getSessionIdAlternative(unsigned long pid)
{
    // The list grows for as long as it may have been cut, up to a bound no
    // system reaches (four million processes).
    const size_t kMostIds = size_t(1) << 22;
    std::vector<unsigned long> pids(1024);
    unsigned long needed = 0, error = 0;
    while (!sessionApi().enumProcesses(pids, needed, error)) {
        if (error != ERROR_MORE_DATA || pids.size() >= kMostIds)
            throw CZelException(error, L"Retrieving process ids failed with error ");
        pids.assign(std::min<size_t>(std::max<size_t>(needed, pids.size() * 2), kMostIds), 0);
    }
    for (unsigned long id : pids) {
        if (id != pid)
            continue;
        unsigned long session = 0;
        if (sessionApi().processIdToSessionId(id, session, error))
            return session;
        ZEL_LOG_TRACE << L"ProcessIdToSessionId(" << id << L") fails with error " << error;
    }
    return kNoSession;
}

unsigned long getSessionIdViaWTSEnumerateProcesses(unsigned long pid)
{
    std::vector<SessionApi::WtsProcess> processes;
    unsigned long error = 0;
    if (!sessionApi().wtsEnumerateProcesses(processes, error)) {
        ZEL_LOG_TRACE << L"WTSEnumerateProcesses failed with " << error;
        return kNoSession;
    }
    ZEL_LOG_TRACE << L"WTSEnumerateProcesses BEGIN";
    unsigned long answer = kNoSession;
    for (const SessionApi::WtsProcess& p : processes) {
        ZEL_LOG_TRACE << p.name << L" " << p.processId << L" " << p.sessionId << (p.sid.empty() ? L"" : L" ") << p.sid;
        if (p.processId == pid && answer == kNoSession)
            answer = p.sessionId;
    }
    ZEL_LOG_TRACE << L"WTSEnumerateProcesses END";
    return answer;
}

} // namespace ZelUt

namespace WtsHelper {

bool isTerminalServer()
{
    bool terminal = ZelUt::sessionApi().hasSuite(VER_SUITE_TERMINAL) && !ZelUt::sessionApi().hasSuite(VER_SUITE_SINGLEUSERTS);
    ZEL_LOG_INFO << (terminal ? L"Running on a terminal server host." : L"Not running on a terminal server host.");
    return terminal;
}

bool switchedToInstallMode()
{
    if (!isTerminalServer())
        return false;
    const unsigned long kAnswerTimeoutMs = 30000;
    WinPath system = WinAPI::getSystemDirectory();
    ZelUt::AutoTerminateProcess query(system / L"cmd.exe", L"/c chgusr /query", system);  // ended on every way out
    query.start(true);
    if (!query.wait(kAnswerTimeoutMs)) {
        ZEL_LOG_WARNING << L"chgusr /query gave no answer in " << kAnswerTimeoutMs << L" ms; taken as not in install mode";
        return false;
    }
    unsigned long code = query.getExitCode();
    ZEL_LOG_INFO << L"Process output:\n" << query.getOutputA() << L"\nProcess error output:\n" << query.getStderrA();
    return code == 100;
}

unsigned long getSessionId(unsigned long pid)
{
    unsigned long session = 0, error = 0;
    if (ZelUt::sessionApi().processIdToSessionId(pid, session, error))
        return session;
    ZEL_LOG_TRACE << L"ProcessIdToSessionId(" << pid << L") failed with error " << error;
    try {
        session = ZelUt::getSessionIdAlternative(pid);
        if (session != 0xFFFFFFFF)
            return session;
    } catch (const CZelException& e) {
        // The terminal-services enumeration below may still know the process.
        ZEL_LOG_TRACE << e;
    }
    session = ZelUt::getSessionIdViaWTSEnumerateProcesses(pid);
    if (session == 0xFFFFFFFF)
        throw CZelException(error, L"Could not determine session id");
    return session;
}

void allowGetSessionIdTo(const CZelSid& sid)
{
    WinAPI::FileHandle process(OpenProcess(PROCESS_ALL_ACCESS, FALSE, GetCurrentProcessId()));
    if (!process.valid())
        throwLastError(L"Could not open process handle");
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD status = GetSecurityInfo(process, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                   nullptr, &sd);
    if (status != ERROR_SUCCESS)
        throw CZelException(status, L"Could not get security info of process handle");
    WinAPI::LocalMemory release(sd);
    CZelAcl acl(dacl);
    acl.AddAce(CZelAce(ACCESS_ALLOWED_ACE_TYPE, 0, PROCESS_QUERY_INFORMATION, sid));
    status = SetSecurityInfo(process, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr);
    if (status != ERROR_SUCCESS)
        throw CZelException(status, L"Could not set security info to process handle");
}

} // namespace WtsHelper
