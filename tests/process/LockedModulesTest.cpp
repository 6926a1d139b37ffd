#include "TestEnv.h"

#include <QoKivZelUt/LockedModules.h>

#include "process/DeviceNames.h"

#include <objbase.h>
#include <psapi.h>

#include <gtest/gtest.h>

using qkztest::TempDir;

namespace {

// What is known of the window of a module's holder: "title|visible|has a window".
std::wstring windowOf(const ZelLockedModuleInfo::ModuleInfo& info)
{
    return info.m_title + (info.m_visible ? L"|visible" : L"|hidden") + (info.m_hWnd ? L"|window" : L"|none");
}

// A copy of the test DLL under a name nothing else maps.
WinPath privateDll(const TempDir& dir)
{
    WinPath dll = dir.path() / qkztest::uniqueName(L"qkzlock").append(L".dll");
    WinAPI::copyFile(qkztest::binDir() / L"qkz_testlib.dll", dll);
    return dll;
}

TEST(ZelLockedModuleInfo, NamesTheProgramThatLoadedTheDll)
{
    TempDir dir;
    WinPath dll = privateDll(dir);
    EXPECT_FALSE(ZelLockedModuleInfo(dll, true).isLocked());
    auto child = qkztest::childHolding(L"load", dll, 30000);

    ZelLockedModuleInfo byPath(dll, true);
    ASSERT_TRUE(byPath.isLocked());
    EXPECT_EQ(qkztest::testChild(), WinPath(byPath.getInfo().m_app));
    EXPECT_EQ(L"QKZ locking window|visible|window", windowOf(byPath.getInfo()));

    ZelLockedModuleInfo byName(dll.getFileName(), true);
    ASSERT_TRUE(byName.isLocked());
    EXPECT_EQ(L"qkz_testchild.exe", byName.getInfo().m_app);
    EXPECT_EQ(S_OK, ZelLockedModuleInfo::IsExeRunning(qkztest::testChild()));
    EXPECT_EQ(S_FALSE, ZelLockedModuleInfo::IsExeRunning(WinPath(L"C:\\x\\qkz-none.exe")));
}

TEST(ZelLockedModuleInfo, MappedFilesCountOpenedOnesDoNot)
{
    TempDir dir;
    WinPath data = dir.write(L"mapped.dat", std::string(8192, 'm'));
    {
        auto mapper = qkztest::childHolding(L"map", data, 30000);
        ZelLockedModuleInfo info(data, true);
        ASSERT_TRUE(info.isLocked());
        EXPECT_EQ(L"|hidden|none", windowOf(info.getInfo()));
    }
    WinPath opened = dir.write(L"opened.dat", "o");
    auto holder = qkztest::childHolding(L"hold", opened, 30000);
    EXPECT_FALSE(ZelLockedModuleInfo(opened, true).isLocked());
}

TEST(ZelLockedModuleInfo, OwnProcessIsSkippedOnRequest)
{
    TempDir dir;
    WinPath dll = privateDll(dir);
    HMODULE loaded = LoadLibraryW(dll.str().c_str());
    ASSERT_NE(nullptr, loaded);
    EXPECT_FALSE(ZelLockedModuleInfo(dll, true).isLocked());
    ZelLockedModuleInfo self(dll, false);
    EXPECT_EQ(WinAPI::getModuleFileName(nullptr), WinPath(self.getInfo().m_app));
    FreeLibrary(loaded);
}

// A 64-bit process holding its own image, a copy of the companion program
// under a name with blanks, waiting for input that never comes. From the
// 32-bit build only the companion can see into it.
TEST(ZelLockedModuleInfo, NamesA64BitProgramWhateverTheCallersWidth)
{
    TempDir dir;
    WinPath holder = dir.path() / L"qkz 64 holder.exe";
    WinAPI::copyFile(qkztest::binDir() / L"QoSnapshot64.exe", holder);
    ZelUt::AutoTerminateProcess running(holder, L"/throwException", WinPath());
    running.start(true);
    qkztest::LogCapture log;
    bool locked = false;
    for (int tries = 0; tries < 50 && !locked; ++tries, Sleep(200)) {
        ZelLockedModuleInfo info(holder, true);
        locked = info.isLocked() && WinPath(info.getInfo().m_app) == holder;
    }
    EXPECT_TRUE(locked);
    const bool viaCompanion = sizeof(void*) == 4;
    EXPECT_EQ(viaCompanion, log.contains(L"QoSnapshot64.exe /moduleInfo:\"" + holder.str() + L"\" /skipProcess:"));
}

TEST(ZelLockedModuleInfo, DeviceNamesMatchWholeLeadingComponents)
{
    using ZelUt::detail::replaceDevicePrefix;
    std::wstring path = L"\\Device\\HarddiskVolume10\\dir\\a.dll";
    EXPECT_FALSE(replaceDevicePrefix(path, L"\\Device\\HarddiskVolume1", L"C:\\"));
    EXPECT_TRUE(replaceDevicePrefix(path, L"\\Device\\HarddiskVolume10", L"D:\\"));
    EXPECT_EQ(L"D:\\dir\\a.dll", path);
    std::wstring share = L"\\Device\\Mup\\srv\\share\\a.dll";
    EXPECT_TRUE(replaceDevicePrefix(share, L"\\Device\\Mup", L"\\\\"));
    EXPECT_EQ(L"\\\\srv\\share\\a.dll", share);
    std::wstring inside = L"C:\\x\\Device\\Mup\\y";
    EXPECT_FALSE(replaceDevicePrefix(inside, L"\\Device\\Mup", L"\\\\"));
}

// Module names of 260 characters and more come back whole, also from another process.
TEST(ZelLockedModuleInfo, LongModuleNamesAreNotCutShort)
{
    TempDir dir;
    WinPath deep = dir.path() / std::wstring(150, L'd') / std::wstring(150, L'e');
    deep.createDirectory();
    WinPath dll = deep / L"qkz long module.dll";
    ASSERT_GT(dll.str().size(), 300u);
    WinAPI::copyFile(qkztest::binDir() / L"qkz_testlib.dll", dll);
    auto child = qkztest::childHolding(L"load", dll, 30000);
    HMODULE modules[512];
    DWORD bytes = 0;
    ASSERT_TRUE(EnumProcessModules(child->handle(), modules, sizeof modules, &bytes));
    bool found = false;
    for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 512; ++i)
        found = found || WinAPI::getModuleFileNameEx(child->handle(), modules[i]).str() == dll.str();
    EXPECT_TRUE(found);
}

class Snapshot64 : public ::testing::Test {
protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(Snapshot64, CompanionAnswersAllThreeCommandLines)
{
    TempDir dir;
    WinPath dll = privateDll(dir);
    auto child = qkztest::childHolding(L"load", dll, 30000);
    qkztest::LogCapture log;
    ZelLockedModuleInfo::ModuleInfo info = RunSnapshot64().getLockedModuleInfo(dll);
    EXPECT_EQ(qkztest::testChild(), WinPath(info.m_app));
    EXPECT_EQ(L"QKZ locking window|visible|window", windowOf(info));
    for (const wchar_t* text : {L"QoSnapshot64 exited", L"Error in QoSnapshot64", L"QoSnapshot64 hung"})
        EXPECT_FALSE(log.contains(text)) << "it exited with 0";

    EXPECT_EQ(42u, RunSnapshot64().testReturnValue(42));
    EXPECT_EQ(1u, RunSnapshot64().testReturnValue(1));
    EXPECT_EQ(L"", log.missing({L"Error in QoSnapshot64: 42", L"QoSnapshot64 exited with 1"}));
    EXPECT_EQ(qkztest::failureOf([&] { RunSnapshot64().testExceptionPropagation(CZelException(5, L"Access <denied> & \u00fc")); }),
              (qkztest::Failure{5u, L"Access <denied> & \u00fc"}));
    EXPECT_EQ(255u, ZelUt::parseMessageNumber(L"ff"));
    EXPECT_EQ(10u, ZelUt::parseMessageNumber(L"10"));
}

} // namespace
