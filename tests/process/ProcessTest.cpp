#include "TestEnv.h"

#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/Token.h>

#include <gtest/gtest.h>

#include <future>

#include <shellapi.h>

#include <iterator>

using qkztest::LogCapture;
using ZelUt::Process;

namespace {

Process child(const std::wstring& arguments)
{
    return Process(qkztest::testChild(), arguments, WinPath());
}

Process ran(const std::wstring& arguments, DWORD ms = 30000)
{
    return qkztest::ran(qkztest::testChild(), arguments, ms);
}

// Writes of 4 KiB, and of an odd size over the most one read takes (so that
// pairs of bytes straddle reads), on both streams at once.
TEST(Process, LargeOutputOnBothStreamsDoesNotDeadlock)
{
    const unsigned long bytes = 3 * 1024 * 1024;
    for (unsigned long chunk : {4096ul, 1048577ul}) {
        Process p = ran(L"flood " + std::to_wstring(bytes) + L" " + std::to_wstring(chunk), 60000);
        EXPECT_EQ(0u, p.getExitCode());
        ASSERT_EQ(bytes / 2, p.getOutput().size()) << chunk;
        ASSERT_EQ(bytes / 2, p.getStderr().size());
        EXPECT_EQ(L"ABCD", p.getOutputA().substr(0, 4));
        EXPECT_EQ(p.getOutput(), p.getStderr());
        if (chunk == 1048577ul) {
            // The unit made of the last byte of one write and the first of the next.
            const std::wstring output = p.getOutput();
            EXPECT_EQ(static_cast<wchar_t>('A' + (1048576 % 26) + ('A' << 8)), output[1048577 / 2]);
        }
    }
}

// A child that writes without end must not keep a wait from its time-out or abort.
TEST(Process, EndlessOutputStillEndsTheWaitOnTimeOutAndAbort)
{
    Process p = child(L"spew");
    p.start(true);
    for (int i = 0; i < 200 && p.getOutput().empty(); ++i)
        p.wait(100);  // until the child writes (its start may take a while)
    ASSERT_EQ(L"ABCD", p.getOutputA().substr(0, 4));
    DWORD start = GetTickCount();
    EXPECT_FALSE(p.wait(100));  // short: a 32-bit test process has little room for what it collects
    EXPECT_LT(GetTickCount() - start, 5000u);
    WinAPI::FileHandle abort(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    start = GetTickCount();
    EXPECT_FALSE(p.wait(abort.get(), INFINITE));
    EXPECT_LT(GetTickCount() - start, 5000u);
    p.terminate(1, false);
}

// A document starts its associated program with the document in place of
// every "%1", taken literally ('$' sequences included).
TEST(Process, DocumentsStartTheirAssociatedProgram)
{
    const std::wstring type = qkztest::uniqueName(L"qkz.document");
    const std::wstring extension = L".qkzdoc" + std::to_wstring(GetCurrentProcessId());
    auto setDefault = [](const std::wstring& key, const std::wstring& value) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, value.c_str(),
                                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
    };
    setDefault(extension, type);
    setDefault(type + L"\\shell\\open\\command", L"\"" + qkztest::testChild().str() + L"\" print \"%1|%1\"");
    qkztest::TempDir dir;
    WinPath document = dir.write(L"a$&b$1" + extension, "x");
    Process p{document};
    p.start(true);
    ASSERT_TRUE(p.wait(30000));
    EXPECT_EQ(document.str() + L"|" + document.str(), p.getOutputA());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, extension.c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, type.c_str());
}

// Arguments quoted for a command line come back unchanged from the system's splitting.
TEST(Process, QuotedArgumentsSurviveTheSystemsSplitting)
{
    const std::wstring arguments[] = {L"plain", L"", L"a b", L"tab\there", L"say \"hi\"", L"C:\\my dir\\",
                                      L"back\\\\\"slash", L"\\\\server\\share", L"end\\"};
    std::wstring line = L"program.exe";
    for (const std::wstring& argument : arguments)
        line += L" " + ZelUt::quoteArgument(argument);
    int count = 0;
    LPWSTR* parts = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(nullptr, parts);
    ASSERT_EQ(1 + static_cast<int>(std::size(arguments)), count) << line;
    for (int i = 1; i < count; ++i)
        EXPECT_EQ(arguments[i - 1], parts[i]) << line;
    LocalFree(parts);
    EXPECT_EQ(L"C:\\x\\y", ZelUt::quoteArgument(L"C:\\x\\y"));  // nothing to quote: unchanged
}

TEST(Process, InputIsFedOnceAndEchoedBack)
{
    Process p = child(L"echo");
    p.start(true);
    p.writeInput(L"hello \u00fc\u4e2d\r\nline two");
    ASSERT_TRUE(p.wait(10000));
    EXPECT_EQ(L"hello \u00fc\u4e2d\r\nline two", p.getOutput());
    EXPECT_EQ(qkztest::failureOf([&] { p.writeInput(L"again"); }).message, L"WinAPI::writeFile() failed.");
}

// A filter answers as it reads: input larger than both pipes hold reaches it
// while its answer is read, where writing all of it first waits for ever.
TEST(Process, InputLargerThanThePipesReachesAFilter)
{
    Process p = child(L"echo");
    p.start(true);
    const std::wstring input(3 * 1024 * 1024, L'i');
    std::future<bool> fed = std::async(std::launch::async, [&] {
        try {
            p.writeInput(input);
            return p.wait(30000);
        } catch (const CZelException&) {
            return false;
        }
    });
    if (fed.wait_for(std::chrono::seconds(40)) == std::future_status::timeout)
        TerminateProcess(p.getHandle(), 1);  // lets a write that waits on the child fail
    ASSERT_TRUE(fed.get()) << "the child and the parent each waited for the other";
    EXPECT_EQ(input.size(), p.getOutput().size());
    EXPECT_EQ(input, p.getOutput());

    Process idle = child(L"sleep 1000");  // reads no input
    idle.start(true);
    idle.writeInput(input);
    EXPECT_EQ(qkztest::failureOf([&] { idle.writeInput(L"more"); }).message, L"WinAPI::writeFile() failed.");
    LogCapture log;
    EXPECT_TRUE(idle.wait(30000));
    EXPECT_TRUE(log.contains(L"took no more input; "));
    // A second run starts without what the first left unwritten.
    idle.start(true).writeInput(input);
    idle.start(true).writeInput(L"more");
    EXPECT_TRUE(idle.wait(30000));
}

// A handle the caller made inheritable stays with the caller; a child the
// caller starts with every inheritable handle holds no parent end of a running
// child's pipes, so that child's input still ends when writeInput closes it.
TEST(Process, TheChildInheritsItsPipesAndNothingElse)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    WinAPI::FileHandle event(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    EXPECT_EQ(1ul, ran(L"setevent " + std::to_wstring(reinterpret_cast<ULONG_PTR>(event.get()))).getExitCode())
        << "the child had the caller's event";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));

    Process echo = child(L"echo");
    echo.start(true);
    qkztest::Child bystander(L"sleep 30000", true);
    echo.writeInput(L"end");
    EXPECT_TRUE(echo.wait(10000));
    EXPECT_EQ(L"end", echo.getOutput());
}

// Output past the caller's limit is cut there and ends the child; the wait answers false.
TEST(Process, OutputBeyondTheLimitEndsTheChild)
{
    const std::wstring wide = L"wide \u00fc\u4e2d\n";
    for (size_t limit : {wide.size(), wide.size() - 1}) {
        Process p = child(L"wide");
        p.setOutputLimit(limit);
        p.start(true);
        const bool within = limit == wide.size();
        EXPECT_EQ(within, p.wait(30000)) << limit;
        EXPECT_EQ(!within, p.outputLimitReached()) << limit;
        EXPECT_EQ(wide.substr(0, limit), p.getOutput());
    }

    Process endless = child(L"spew");
    endless.setOutputLimit(100000);
    LogCapture log;
    EXPECT_FALSE(endless.start(true).wait(30000));
    EXPECT_EQ(100000u, endless.getOutput().size());
    ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(endless.getHandle(), 10000)) << "still running";
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INVALID_DATA), endless.getExitCode());
    EXPECT_TRUE(log.contains(L"wrote more than 100000 characters; it is ended"));
    // Started again, the object answers for the new run alone.
    endless.setArguments(L"wide");
    EXPECT_TRUE(endless.start(true).wait(30000));
    EXPECT_FALSE(endless.outputLimitReached());
    EXPECT_EQ(wide, endless.getOutput());
    // Attached to another process, it holds nothing of the run before.
    endless.attach(GetCurrentProcessId(), SYNCHRONIZE);
    EXPECT_EQ(L"", endless.getOutput());
}

TEST(Process, NarrowAndWideOutputAndExitCodes)
{
    EXPECT_EQ(L"odd", ran(L"print \"odd\"").getOutputA());  // the last, unpaired byte is not lost
    EXPECT_EQ(L"wide \u00fc\u4e2d\n", ran(L"wide").getOutput());

    LogCapture log;
    Process exits = child(L"exit 7");
    EXPECT_EQ(0xC0000008u, exits.getExitCode());
    exits.start(false);
    ASSERT_TRUE(exits.wait(INFINITE));
    EXPECT_EQ(7u, exits.getExitCode());
    EXPECT_EQ(L"", log.missing({L"> has the return code 7", L"Waiting with no time-out...",
                                L"> has not been started."}));

    EXPECT_EQ(0xC0000005u, ran(L"crash").getExitCode());  // its exception's code, no dialog waiting for anyone
}

TEST(Process, RelativeProgramIsResolvedAndLoggedAsUnsafe)
{
    LogCapture log;
    Process p(WinPath(L"cmd.exe"), L"/c exit 4", WinPath());
    WinPath resolved = p.findExecutable();
    EXPECT_EQ(WinAPI::getSystemDirectory() / L"cmd.exe", resolved);
    EXPECT_EQ(L"", log.missing({L"Unsafe: creating process from relative path <cmd.exe>",
                                L"Path <cmd.exe> resolved to <" + resolved.str() + L">."}));
    EXPECT_EQ(resolved.getQuoted() + L" /c exit 4", p.getCommandline());
    p.start(true);
    ASSERT_TRUE(p.wait(10000));
    EXPECT_EQ(4u, p.getExitCode());

    EXPECT_THROW(Process(WinPath(L"C:\\qkz-missing\\none.exe"), WinPath()).start(true), CZelException);
}

TEST(Process, TimeOutAbortThenTerminateWithDump)
{
    LogCapture log;
    Process p = child(L"sleep 30000");
    p.start(true);
    EXPECT_FALSE(p.wait(0));
    EXPECT_TRUE(log.contains(L"> did not finish in 0 milliseconds."));
    EXPECT_FALSE(p.wait(200));
    EXPECT_EQ(259u, p.getExitCode());

    WinAPI::FileHandle abort(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    DWORD start = GetTickCount();
    EXPECT_FALSE(p.wait(abort.get(), INFINITE));
    EXPECT_LT(GetTickCount() - start, 5000u);

    WinPath dump(qkztest::testChild().str() + L".dump");
    dump.removeRecursively();
    // A dump that cannot be written is reported; the process is ended all the same.
    WinAPI::createDirectory(dump);
    Process undumped = child(L"sleep 30000");
    undumped.start(true);
    undumped.terminate(6, true);
    EXPECT_EQ(6u, undumped.getExitCode());
    EXPECT_TRUE(log.contains(L"writing mini dump failed: "));
    WinAPI::removeDirectory(dump);
    // A dump name that is a second name of another file: the dump takes the name.
    const WinPath victim = qkztest::binDir() / L"qkz-dump-victim.txt";
    WinAPI::writeFile(WinAPI::createFile(victim), std::string("kept"));
    ASSERT_TRUE(CreateHardLinkW(dump.str().c_str(), victim.str().c_str(), nullptr));
    p.terminate(3, true);
    EXPECT_EQ(3u, p.getExitCode());
    EXPECT_EQ("kept", qkztest::bytesOf(victim));
    WinAPI::deleteFile(victim);
    EXPECT_TRUE(dump.exists());
    EXPECT_GT(dump.getFileSize(), 0u);
    WinAPI::deleteFile(dump);
    // Started from a command line, it is dumped beside the program it runs, not as ".dump" wherever.
    Process line(qkztest::testChild().getQuoted() + L" sleep 30000", WinPath());
    line.start(true);
    line.terminate(4, true);
    EXPECT_TRUE(dump.exists());
    EXPECT_FALSE(WinPath(L".dump").exists());
    WinAPI::deleteFile(dump);
    p.terminate(5, false);  // already ended: nothing happens
    EXPECT_EQ(3u, p.getExitCode());
}

TEST(Process, OpenByImageNameAndAutoTerminate)
{
    WinAPI::FileHandle handle;
    {
        ZelUt::AutoTerminateProcess owner(qkztest::testChild(), L"sleep 30000", WinPath());
        owner.start(true);
        handle = owner.getHandle();
        // A full path is the file: the same name elsewhere is another program.
        Process elsewhere(WinPath(L"C:\\anywhere\\QKZ_TESTCHILD.EXE"), WinPath());
        EXPECT_FALSE(static_cast<bool>(elsewhere.open(PROCESS_QUERY_INFORMATION)));
        Process byName(std::wstring(L"QKZ_TESTCHILD.EXE sleep"), WinPath());
        EXPECT_EQ(owner.getProcessId(), byName.open(PROCESS_QUERY_INFORMATION).getProcessId());
        Process attached(WinPath(qkztest::binDir().str() + L"\\.\\QKZ_TESTCHILD.EXE"), WinPath());
        CZelToken token;
        token.OpenProcessToken();
        ASSERT_FALSE(token.IsPrivilegeEnabled(SE_DEBUG_NAME));
        attached.open(PROCESS_QUERY_INFORMATION);
        EXPECT_FALSE(token.IsPrivilegeEnabled(SE_DEBUG_NAME)) << "debugging rights outlived the open";
        ASSERT_TRUE(static_cast<bool>(attached));
        EXPECT_EQ(owner.getProcessId(), attached.getProcessId());
        LogCapture refused;
        attached.terminate(4, false);  // opened without the right to end it: reported, not thrown
        EXPECT_TRUE(refused.contains(L"TerminateProcess failed: "));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(handle, 0));
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(handle, 5000));
    DWORD code = 99;
    GetExitCodeProcess(handle, &code);
    EXPECT_EQ(0u, code);

    LogCapture log;
    // An open or attach that fails leaves no handle, also where one was held before.
    Process missing(WinPath(L"qkz-not-running.exe"), WinPath());
    missing.attach(GetCurrentProcessId(), SYNCHRONIZE);
    missing.open(PROCESS_QUERY_INFORMATION);
    EXPECT_FALSE(static_cast<bool>(missing));
    EXPECT_EQ(0u, missing.getProcessId());
    EXPECT_TRUE(log.contains(L"Process qkz-not-running.exe is not running."));
    missing.attach(GetCurrentProcessId(), SYNCHRONIZE).attach(0, SYNCHRONIZE);
    EXPECT_FALSE(static_cast<bool>(missing));
    EXPECT_EQ(0u, missing.getProcessId());

    Process self(WinAPI::getModuleFileName(nullptr), WinPath());
    self.open(PROCESS_ALL_ACCESS);
    ASSERT_TRUE(static_cast<bool>(self));
    self.terminate(1, false);
    EXPECT_TRUE(log.contains(L"Process::terminate will not commit suicide"));
}

// A program that runs but refuses the access asked for is found and reported
// as refusing, by its file and by its name alone; it is not "not running".
TEST(Process, OpenOfAProgramThatRefusesTheAccess)
{
    qkztest::TempDir dir;
    const WinPath copy = dir.path() / (qkztest::uniqueName(L"qkz_refusing") + L".exe");
    WinAPI::copyFile(qkztest::testChild(), copy);
    CZelSecurityDescriptor limited = CZelSecurityDescriptor::fromSddl(L"D:(A;;0x101000;;;WD)");  // waiting and the limited query only
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, limited.getSD(), FALSE};
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION info = {};
    std::wstring line = ZelUt::quoteArgument(copy.str()) + L" sleep 30000";
    ASSERT_TRUE(CreateProcessW(nullptr, &line[0], &attributes, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &info));
    WinAPI::FileHandle process(info.hProcess), thread(info.hThread);
    for (Process refusing : {Process(copy, WinPath()), Process(copy.getFileName().str())}) {
        LogCapture log;
        refusing.attach(GetCurrentProcessId(), SYNCHRONIZE);
        refusing.open(PROCESS_QUERY_INFORMATION);
        EXPECT_FALSE(static_cast<bool>(refusing));
        EXPECT_EQ(0u, refusing.getProcessId());
        EXPECT_TRUE(log.contains(L"OpenProcess() failed: "));
        EXPECT_FALSE(log.contains(L"is not running"));
    }
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 5000);
}

TEST(Process, HandleCountDoesNotGrow)
{
    auto runOnce = [] {
        Process p = child(L"echo");
        p.start(true);
        p.writeInput(L"x");
        p.wait(10000);
        p.getExitCode();
    };
    runOnce();  // the first start creates handles the system keeps for later
    DWORD before = qkztest::openHandleCount();
    for (int i = 0; i < 5; ++i)
        runOnce();
    EXPECT_EQ(before, qkztest::openHandleCount());
}

} // namespace
