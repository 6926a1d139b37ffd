#include "TestEnv.h"

#include <QoKivZelLg.h>
#include <QoKivZelUt/ZelLog.h>

#include <gtest/gtest.h>

#include <iomanip>
#include <regex>
#include <sstream>
#include <thread>

using qkztest::LogCapture;

namespace {

std::string readAll(const std::wstring& path)
{
    WinAPI::FileHandle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    return h.valid() ? WinAPI::readFileA(h) : std::string();
}

TEST(ZelLogStream, OneStreamIsOneEntryWithItsFields)
{
    LogCapture log;
    ZelLogStream(1, L'E', false) << L"Failed in call to StartService: " << ErrorW32(ERROR_ACCESS_DENIED);
    ZelLogStream(3, L' ', true) << L"flags 0x" << std::hex << std::setw(8) << std::setfill(L'0') << 0x1F << L" n=" << std::dec << 42;
    try {
        ZelLogStream entry(1, L'W', false);
        entry << L"written while an exception passes";
        throw CZelException(1, L"x");
    } catch (const CZelException&) {
    }
    // component level type debug text, an entry a line
    std::wstring entries;
    for (const qkztest::LogEntry& e : log.entries())
        entries += e.component + L" " + std::to_wstring(e.level) + e.type + std::to_wstring(e.debug) + L" " + e.text + L"\n";
    EXPECT_EQ(L"QoKivZelUt 1E0 Failed in call to StartService: " + CZelException::getSystemErrorText(5) + L"\n"
              L"QoKivZelUt 3 1 flags 0x0000001f n=42\nQoKivZelUt 1W0 written while an exception passes\n",
              entries);
}

TEST(ZelLogStream, EntriesFromManyThreadsStayWholeLinesInTheLogFile)
{
    ASSERT_NE(nullptr, ZelGetLogDir());
    const std::wstring chosen = WinAPI::getEnvironmentVariable(L"QOKIVZEL_LOGDIR");
    if (!chosen.empty())  // the suites' runner names the directory
        EXPECT_EQ(chosen, std::wstring(ZelLgGetLogDir()));
    const std::wstring marker = qkztest::uniqueName(L"mt");
    ZelLogStream(1, L' ', false) << L"the log file is open from here on";
    const DWORD handles = qkztest::openHandleCount();
    for (int i = 0; i < 100; ++i)
        ZelLogStream(1, L' ', false) << L"entry " << i << L" of a hundred";
    EXPECT_EQ(handles, qkztest::openHandleCount()) << "the file is opened once";
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                ZelLogStream(1, L' ', false) << marker << L" thread " << t << L" entry " << i << L" line\nbreak";
        });
    for (std::thread& th : threads)
        th.join();

    std::istringstream lines(readAll(ZelLgGetLogFile()));
    std::string narrowMarker(marker.begin(), marker.end());
    std::regex whole("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[\\d+:\\d+\\] QoKivZelUt 1 I - " + narrowMarker +
                     " thread [0-7] entry \\d+ line\\\\nbreak\r$");
    int ours = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(narrowMarker) == std::string::npos)
            continue;
        ++ours;
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }
    EXPECT_EQ(1600, ours);
}

TEST(ZelLogStream, BackupKeepsTheEarlierFile)
{
    qkztest::TempDir dir;
    WinPath log = dir.write(L"product.log", "first run\n");
    ZelLogBackupFile(log);
    EXPECT_FALSE(log.exists());
    EXPECT_EQ("first run\n", readAll(log.str() + L".bak"));
    dir.write(L"product.log", "second run\n");
    ZelLogBackupFile(log);
    EXPECT_EQ("second run\n", readAll(log.str() + L".bak"));
    ZelLogBackupFile(dir.path() / L"absent.log");  // nothing to keep: no effect
    EXPECT_FALSE((dir.path() / L"absent.log.bak").exists());
    qkztest::LogCapture capture;
    dir.write(L"product.log", "third run\n");
    WinAPI::FileHandle held(CreateFileW(log.str().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                        nullptr));
    ZelLogBackupFile(log);  // held open elsewhere: it is written over next, and the log says so
    EXPECT_TRUE(capture.contains(L"The earlier log " + log.str() + L" could not be kept: "));
}

// A log name that is a hard link to a file elsewhere is not written through: in
// a directory others may write to, it would let them pick the file that gets a
// program's lines.
TEST(ZelLogStream, ALinkedLogNameIsNotWrittenThrough)
{
    ZelGetLogDir();  // this process's log stays where it is
    qkztest::TempDir dir;
    WinPath victim = dir.write(L"victim.ini", "[kept]\n");
    (dir.path() / L"logs").createDirectory();
    ASSERT_TRUE(CreateHardLinkW((dir.path() / L"logs\\QoKivZel.log").str().c_str(), victim.str().c_str(), nullptr));
    const std::wstring own = WinAPI::getEnvironmentVariable(L"QOKIVZEL_LOGDIR");
    SetEnvironmentVariableW(L"QOKIVZEL_LOGDIR", (dir.path() / L"logs").str().c_str());
    ZelUt::Process run = qkztest::ran(qkztest::binDir() / L"zelut.exe", L"run --timeout 5000 -- cmd.exe /c exit 0");
    SetEnvironmentVariableW(L"QOKIVZEL_LOGDIR", own.c_str());
    EXPECT_EQ(0u, run.getExitCode()) << run.getStderrA();
    EXPECT_EQ("[kept]\n", readAll(victim.str()));
}

} // namespace
