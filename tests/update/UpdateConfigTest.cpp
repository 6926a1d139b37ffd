#include <QoKivZelUt/UpdateConfig.h>

#include "TestEnv.h"
#include "foundation/CurrentDirectory.h"

#include <gtest/gtest.h>

#include <knownfolders.h>
#include <shlobj.h>

using Cfg = CKIVSetupUpdateServiceCfgManager;

namespace {

// The file's text: UTF-16 after a byte-order mark, else ANSI.
std::wstring fileText(const WinPath& file)
{
    std::string bytes = qkztest::bytesOf(file);
    if (bytes.size() >= 2 && bytes[0] == '\xff' && bytes[1] == '\xfe')
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    return std::wstring(bytes.begin(), bytes.end());
}

// Every field in one line: admin servers | indexed servers | disabled retry test force ifneeded.
std::wstring summary(const Cfg& cfg)
{
    std::wstring text;
    for (const Cfg::PathSet* set : {&cfg.getAdminServerPaths(), &cfg.getKIVSetupServerPaths()}) {
        for (const WinPath& path : *set)
            text += path.str() + L" ";
        text += L"| ";
    }
    return text + std::to_wstring(cfg.isAutoUpdateDisabled()) + L" " + std::to_wstring(cfg.getRetryIntervalInHours()) +
           L" " + std::to_wstring(cfg.testMode()) + L" " + std::to_wstring(cfg.forceRebootAfterUpdate()) + L" " +
           std::to_wstring(cfg.rebootAfterUpdateIfNeeded());
}

} // namespace

TEST(UpdateConfig, MissingFileAndEmptyPropertiesSection)
{
    qkztest::TempDir dir;
    SetEnvironmentVariableW(L"QKZ_UPDATE_DIR", dir.path().str().c_str());
    qkztest::LogCapture log;
    Cfg missing(WinPath(L"%QKZ_UPDATE_DIR%\\WkstaUpdater.cfg"));
    SetEnvironmentVariableW(L"QKZ_UPDATE_DIR", nullptr);
    EXPECT_EQ(missing.getConfigFilePath().str(), (dir.path() / L"WkstaUpdater.cfg").str());
    EXPECT_EQ(summary(missing), L"| | 1 24 0 0 0");
    EXPECT_TRUE(log.contains(L"Loading %QKZ_UPDATE_DIR%\\WkstaUpdater.cfg..."));
    EXPECT_FALSE(log.contains(L"Loaded "));

    EXPECT_EQ(summary(Cfg(dir.write(L"empty.cfg", "[AutoUpdateProperties]\r\n"))), L"| | 0 24 0 0 0");
    EXPECT_TRUE(log.contains(L"Loaded 0 server paths from the source"));
    wchar_t* programFiles = nullptr;  // the shell's own answer, not the variable the code expands
    ASSERT_EQ(S_OK, SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &programFiles));
    EXPECT_EQ(Cfg().getConfigFilePath().str(), std::wstring(programFiles) + L"\\KIV\\KivSetup\\Setup\\Updater\\WkstaUpdater.cfg");
    CoTaskMemFree(programFiles);
}

TEST(UpdateConfig, ReadingRules)
{
    qkztest::TempDir dir;
    WinPath file = dir.write(L"u.cfg", "[adminconfiguredservers]\r\nnumservers=3\r\nServer1=\\\\srv\\Setup\r\n"
                                       "Server3=\\\\SRV\\setup\\\r\nServer4=\\\\past\\count\r\n"
                                       "[KIVSetupIndexedServers]\r\nNumServers=2\r\nServer1=\\\\other\\x\r\nServer2=\r\n"
                                       "[AutoUpdateProperties]\r\nDisabled=TRUE\r\nRetryFrequencyInHours=7\r\n"
                                       "SwitchTestingModeOn=True\r\nRebootAfterUpdate=IfNeeded\r\n");
    qkztest::LogCapture log;
    // the second admin entry is missing, the third differs from the first only in case, the fourth is past the count
    EXPECT_EQ(summary(Cfg(file)), L"\\\\srv\\Setup | \\\\other\\x | 1 7 1 0 1");
    EXPECT_TRUE(log.contains(L"Nbr of Servers in section AdminConfiguredServers: 3"));
    EXPECT_EQ(2, log.count(L" from section AdminConfiguredServers")) << "the keys present are read";
    EXPECT_TRUE(log.contains(L"Loaded 2 server paths from the source"));
    EXPECT_EQ(summary(Cfg(dir.write(L"v.cfg", "[AutoUpdateProperties]\r\nDisabled=yes\r\nRebootAfterUpdate=TRUE\r\n"))),
              L"| | 0 24 0 1 0");
}

TEST(UpdateConfig, SavedSectionsAndRoundTrip)
{
    qkztest::TempDir dir;
    WinPath file = dir.path() / L"new dir" / L"WkstaUpdater.cfg";
    Cfg cfg(file);
    EXPECT_FALSE(cfg.saveIsAutoUpdateDisabled(false) || cfg.saveRetryInterval(1)) << "no directory yet";
    EXPECT_TRUE(cfg.indexNewAdminServer(WinPath(L"\\\\srv\\b c")));
    EXPECT_TRUE(cfg.indexNewAdminServer(WinPath(L"\\\\srv\\a")));
    EXPECT_FALSE(cfg.indexNewAdminServer(WinPath(L"\\\\SRV\\A")));
    EXPECT_TRUE(cfg.indexNewServer(WinPath(L"\\\\srv\\A")));
    EXPECT_TRUE(cfg.indexNewServer(WinPath(L"\\\\idx\\\u4e2d\u6587")));
    EXPECT_EQ(cfg.getServerPaths().size(), 3u);
    EXPECT_TRUE(cfg.saveAdminIndexedServerPaths() && cfg.saveKIVSetupIndexedServerPaths());
    EXPECT_TRUE(cfg.saveIsAutoUpdateDisabled(false) && cfg.saveRetryInterval(12));
    EXPECT_TRUE(cfg.saveRebootAfterUpdate(Cfg::eRebootIfNeeded));
    // A file the library starts is UTF-16, so the CJK path survives.
    EXPECT_EQ(fileText(file), L"[AdminConfiguredServers]\r\nNumServers=2\r\nServer1=\\\\srv\\a\r\nServer2=\\\\srv\\b c\r\n"
                              L"[KIVSetupIndexedServers]\r\nNumServers=1\r\nServer1=\\\\idx\\\u4e2d\u6587\r\n"
                              L"[AutoUpdateProperties]\r\nDisabled=false\r\nRetryFrequencyInHours=12\r\n"
                              L"RebootAfterUpdate=ifneeded\r\n");

    Cfg loaded(file);
    EXPECT_EQ(summary(loaded), L"\\\\srv\\a \\\\srv\\b c | \\\\idx\\\u4e2d\u6587 | 0 12 0 0 1");
    EXPECT_TRUE(loaded.saveRebootAfterUpdate(static_cast<Cfg::EnumRebootOnUpdate>(7)));
    EXPECT_FALSE(loaded.forceRebootAfterUpdate() || loaded.rebootAfterUpdateIfNeeded());
    EXPECT_NE(fileText(file).find(L"RebootAfterUpdate=false\r\n"), std::wstring::npos);
    loaded.clearServerPathes();
    EXPECT_FALSE(loaded.hasServerPathes());
    EXPECT_TRUE(Cfg(file).hasServerPathes()) << "clearing does not touch the file";
}

TEST(UpdateConfig, UnicodeServersInAFileStartedAsUtf16)
{
    qkztest::TempDir dir;
    std::wstring text = L"\ufeff[AdminConfiguredServers]\r\nNumServers=1\r\nServer1=\\\\\u00e9cole\\\u4e2d\u6587\r\n";
    WinPath file = dir.write(L"u16.cfg", std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
    Cfg cfg(file);
    cfg.indexNewAdminServer(WinPath(L"\\\\\u0441\u0435\u0440\u0432\u0435\u0440\\x"));
    cfg.saveAdminIndexedServerPaths();
    EXPECT_EQ(summary(Cfg(file)), L"\\\\\u00e9cole\\\u4e2d\u6587 \\\\\u0441\u0435\u0440\u0432\u0435\u0440\\x | | 0 24 0 0 0");
}

TEST(UpdateConfig, MergeTakesTheOthersSwitchesAndAdminServers)
{
    qkztest::TempDir dir;
    Cfg mine(dir.write(L"mine.cfg", "[KIVSetupIndexedServers]\r\nNumServers=1\r\nServer1=\\\\mine\\i\r\n"
                                    "[AutoUpdateProperties]\r\nRetryFrequencyInHours=5\r\n"
                                    "[AdminConfiguredServers]\r\nNumServers=1\r\nServer1=\\\\mine\\a\r\n"));
    Cfg theirs(dir.write(L"theirs.cfg", "[AdminConfiguredServers]\r\nNumServers=1\r\nServer1=\\\\theirs\\a\r\n"
                                        "[KIVSetupIndexedServers]\r\nNumServers=1\r\nServer1=\\\\theirs\\i\r\n"
                                        "[AutoUpdateProperties]\r\nDisabled=true\r\nRetryFrequencyInHours=9\r\n"
                                        "SwitchTestingModeOn=true\r\nRebootAfterUpdate=true\r\n"));
    Cfg merged = mine.mergeServerCfg(theirs);
    EXPECT_EQ(summary(merged), L"\\\\mine\\a \\\\theirs\\a | \\\\mine\\i | 1 5 1 1 0");
    EXPECT_EQ(merged.getConfigFilePath().str(), mine.getConfigFilePath().str());
}

// Run by update_peers.sh: reads a file Python's configparser wrote, then
// writes one for configparser to read.
TEST(UpdateConfigPeers, ReadsAndWritesWhatConfigparserDoes)
{
    std::wstring in = WinAPI::getEnvironmentVariable(L"QKZ_UPDCFG_IN");
    if (in.empty())
        GTEST_SKIP() << "run by update_peers.sh";
    EXPECT_EQ(summary(Cfg(WinPath(in))), L"\\\\peer\\one \\\\peer\\two | \\\\peer\\indexed | 0 36 1 0 0");

    Cfg out{WinPath(WinAPI::getEnvironmentVariable(L"QKZ_UPDCFG_OUT"))};
    out.indexNewAdminServer(WinPath(L"\\\\written\\\u00e9t\u00e9"));
    out.indexNewServer(WinPath(L"\\\\written\\indexed"));
    out.saveAdminIndexedServerPaths();
    out.saveKIVSetupIndexedServerPaths();
    out.saveIsAutoUpdateDisabled(true);
    out.saveRetryInterval(48);
    out.saveRebootAfterUpdate(Cfg::eRebootAlways);
}

// A count the file cannot back reads what is there; values that would make
// lines of their own are never written; a file the profile functions cannot
// read as it is is never written over; a bare name is the current directory's.
TEST(UpdateConfig, HostileFilesAndValues)
{
    qkztest::TempDir dir;
    qkztest::LogCapture log;
    WinPath negative = dir.write(L"n.cfg", "[AdminConfiguredServers]\r\nNumServers=-1\r\nServer1=\\\\a\\x\r\nserver999999999=\\\\b\\y\r\n"
                                            "Server012=\\\\d\\w\r\nServer0000000099=\\\\c\\z\r\n"  // leading zeros,
                                            "Server99999999999=\\\\e\\v\r\nServerB=\\\\f\\u\r\n");  // past 32 bits, no number
    EXPECT_EQ(summary(Cfg(negative)), L"\\\\a\\x \\\\b\\y | | 0 24 0 0 0");
    EXPECT_EQ(2, log.count(L" from section AdminConfiguredServers")) << "the keys there, not each number up to them";
    EXPECT_FALSE(log.contains(L"it will not be written"));

    Cfg cfg(dir.path() / L"c.cfg");
    cfg.indexNewAdminServer(WinPath(L"\\\\srv\\x\r\n[AutoUpdateProperties]\r\nRebootAfterUpdate=true"));
    EXPECT_THROW(cfg.saveAdminIndexedServerPaths(), CZelException);
    EXPECT_FALSE((dir.path() / L"c.cfg").exists());

    const std::string utf16NoMark("[\0A\0d\0m\0i\0n\0C\0o\0n\0f\0i\0g\0u\0r\0e\0d\0S\0e\0r\0v\0e\0r\0s\0]\0\r\0\n\0", 52);
    WinPath unreadable = dir.write(L"u16.cfg", utf16NoMark + std::string("N\0u\0m\0S\0e\0r\0v\0e\0r\0s\0=\0\x31\0", 24));
    const std::string before = qkztest::bytesOf(unreadable);
    Cfg odd(unreadable);
    EXPECT_TRUE(log.contains(L"u16.cfg is not text the profile functions can read as it is; it will not be written"));
    EXPECT_FALSE(odd.saveIsAutoUpdateDisabled(true));
    EXPECT_THROW(odd.saveRebootAfterUpdate(Cfg::eRebootAlways), CZelException);
    EXPECT_EQ(before, qkztest::bytesOf(unreadable));

    WinPath directory = dir.path() / L"d.cfg";  // there, but no file to open
    directory.createDirectory();
    Cfg blocked(directory);
    EXPECT_TRUE(log.contains(L"d.cfg cannot be read; it will not be written: "));
    EXPECT_FALSE(blocked.saveRetryInterval(3));
    try {
        blocked.saveRebootAfterUpdate(Cfg::eRebootAlways);
        ADD_FAILURE() << "a directory was written to";
    } catch (const CZelException& e) {
        EXPECT_EQ(ERROR_ACCESS_DENIED, e.getErrorCode()) << "the system's reason, not the text check's";
    }

    Cfg bare = [&] {
        ZelUt::CurrentDirectory inDir(dir.path());
        return Cfg(WinPath(L"bare.cfg"));
    }();
    EXPECT_TRUE(bare.saveRetryInterval(5));
    EXPECT_EQ((dir.path() / L"bare.cfg").str(), bare.getConfigFilePath().str());
    EXPECT_EQ(summary(Cfg(dir.path() / L"bare.cfg")), L"| | 0 5 0 0 0");
}
