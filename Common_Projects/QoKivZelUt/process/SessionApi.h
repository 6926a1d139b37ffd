// Sessions and terminal services: Wine stubs several of these calls (no
// terminal-server suites, one version, no sessions to enumerate), so tests
// stand in for them here. The token steps of the interactive start are
// real under Wine; they stay here because failing them one by one is the only
// way to see that every failure leaves the thread as it was.
#pragma once

#include <QoKivZelUt/Export.h>
#include <QoKivZelUt/WinAPI.h>

#include <windows.h>

#include <string>
#include <vector>

namespace ZelUt {

// The session and terminal-services calls behind the queries above. Some
// systems (and emulators) lack or stub them; tests put their own in front.
class QOKIVZELUT_API SessionApi {
public:
    struct WtsProcess {
        std::wstring name;
        unsigned long processId;
        unsigned long sessionId;
        std::wstring sid;
    };
    virtual ~SessionApi() = default;
    // False with the error in error when the system gives no answer.
    virtual bool processIdToSessionId(unsigned long pid, unsigned long& session, unsigned long& error);
    // False with the error; ERROR_MORE_DATA with needed set asks for a larger list.
    virtual bool enumProcesses(std::vector<unsigned long>& pids, unsigned long& needed, unsigned long& error);
    virtual bool wtsEnumerateProcesses(std::vector<WtsProcess>& processes, unsigned long& error);
    // VER_SUITENAME test of one suite mask: true present, false absent; throws on other failures.
    virtual bool hasSuite(unsigned short suite);
    // The system's version family as the version queries classify it.
    virtual WinAPI::WindowsVersion windowsVersion();

    // The steps of starting a program with the interactive shell's token; each
    // false with the last error set. Tests fail them one by one.
    virtual bool openProcessToken(HANDLE process, unsigned long access, HANDLE& token);
    virtual bool duplicatePrimaryToken(HANDLE token, HANDLE& duplicate);
    virtual bool impersonateLoggedOnUser(HANDLE token);
    virtual bool createProcessAsUser(HANDLE token, const wchar_t* application, wchar_t* commandLine,
                                     unsigned long flags, void* environment, const wchar_t* directory,
                                     STARTUPINFOW& startup, PROCESS_INFORMATION& info);
};

// Puts a test's implementation in front of the system's (null: the system's
// again); returns the previous one.
QOKIVZELUT_API SessionApi* replaceApi(SessionApi* api);

SessionApi& sessionApi();

} // namespace ZelUt
