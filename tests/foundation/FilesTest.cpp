#include "TestEnv.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

using qkztest::TempDir;

namespace {

TEST(Files, SharingViolationIsRetriedThenReported)
{
    TempDir dir;
    WinPath file = dir.write(L"held.txt", "content");
    auto child = qkztest::childHolding(L"hold", file, 20000);
    DWORD start = GetTickCount();
    try {
        WinAPI::openFileReadOnly(file);
        FAIL() << "opened a file held without sharing";
    } catch (const CZelException& e) {
        DWORD elapsed = GetTickCount() - start;
        EXPECT_EQ(32u, e.getErrorCode());
        EXPECT_EQ(L"WinAPI::openFileReadOnly(" + file.str() + L") failed despite retries.", e.getMessage());
        EXPECT_GE(elapsed, 1100u);  // 8 waits of 150 ms
        EXPECT_LT(elapsed, 10000u);
    }
}

TEST(Files, RetrySucceedsOnceTheOtherProcessLetsGo)
{
    TempDir dir;
    WinPath file = dir.write(L"briefly.txt", "content");
    auto child = qkztest::childHolding(L"hold", file, 400);
    EXPECT_EQ("content", qkztest::bytesOf(file));
    EXPECT_EQ(0u, child->wait());
}

TEST(Files, OtherErrorsThrowAtOnceWithTheWrapperText)
{
    TempDir dir;
    WinPath missing = dir.path() / L"missing.txt";
    DWORD start = GetTickCount();
    EXPECT_EQ(qkztest::failureOf([&] { WinAPI::openFile(missing); }),
              (qkztest::Failure{2u, L"WinAPI::openFile(" + missing.str() + L") failed."}));
    EXPECT_LT(GetTickCount() - start, 500u);
}

// A name given as a file's that is a pipe's or a device's is no file: nothing
// is read from a server that sends what it likes, and nothing copied from it.
TEST(Files, PipesAndDevicesAreNoFiles)
{
    TempDir dir;
    const std::wstring pipe = L"\\\\.\\pipe\\" + qkztest::uniqueName(L"qkz-no-file");
    const WinPath copy = dir.path() / L"copy.bin";
    const std::pair<std::wstring, std::function<void()>> opens[] = {
        {L"openFileReadOnly(" + pipe + L")", [&] { WinAPI::openFileReadOnly(WinPath(pipe)); }},
        {L"openFile(" + pipe + L")", [&] { WinAPI::openFile(WinPath(pipe)); }},
        {L"copyFile(" + pipe + L", " + copy.str() + L")", [&] { WinAPI::copyFile(WinPath(pipe), copy); }},
        {L"openFileReadOnly(NUL)", [] { WinAPI::openFileReadOnly(WinPath(L"NUL")); }},
    };
    for (const auto& open : opens) {
        WinAPI::FileHandle server(CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                                   PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
        std::thread feeder([&] {  // a client that reads gets this, then the end
            DWORD written = 0;
            if (ConnectNamedPipe(server, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED)
                WriteFile(server, "from the pipe", 13, &written, nullptr);
            server.release();
        });
        EXPECT_EQ(qkztest::failureOf(open.second), (qkztest::Failure{ERROR_BAD_FILE_TYPE, L"WinAPI::" + open.first + L" failed."}));
        CloseHandle(CreateFileW(pipe.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));  // a wait left ends
        feeder.join();
    }
    EXPECT_FALSE(copy.exists());
}

TEST(Files, WriteReadDeleteCopyMove)
{
    TempDir dir;
    std::string bytes(5000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 31);
    WinPath file = dir.path() / L"data.bin";
    WinAPI::writeFile(WinAPI::createFile(file), bytes);
    EXPECT_EQ(bytes, qkztest::bytesOf(file));
    EXPECT_EQ(qkztest::failureOf([&] { WinAPI::writeFile(WinAPI::openFileReadOnly(file), bytes); }),
              (qkztest::Failure{ERROR_ACCESS_DENIED, L"WinAPI::writeFile() failed."}));  // the system's reason
    WinPath copy = dir.path() / L"copy.bin";
    WinAPI::copyFile(file, copy);
    WinAPI::copyFile(file, copy);  // overwrites
    WinPath moved = dir.path() / L"moved.bin";
    WinAPI::moveFile(copy, moved);
    EXPECT_FALSE(copy.exists());
    EXPECT_EQ(5000u, moved.getFileSize());

    ASSERT_TRUE(SetFileAttributesW(moved.str().c_str(), FILE_ATTRIBUTE_READONLY));
    WinAPI::deleteFile(moved);
    EXPECT_FALSE(moved.exists());
    WinAPI::deleteFile(moved);  // missing: silent
    EXPECT_EQ(qkztest::failureOf([&] { WinAPI::moveFile(moved, copy); }).message,
              L"WinAPI::moveFile(" + moved.str() + L", " + copy.str() + L") failed.");
    WinAPI::createDirectory(dir.path() / L"d");
    WinAPI::createDirectory(dir.path() / L"d");  // already a directory: success
    WinAPI::removeDirectory(dir.path() / L"d");
    WinAPI::removeDirectory(dir.path() / L"d");
    EXPECT_FALSE((dir.path() / L"d").exists());
}

TEST(Files, SystemQueries)
{
    SetEnvironmentVariableW(L"QKZ_LONG", std::wstring(3000, L'z').c_str());
    EXPECT_EQ(L"<" + std::wstring(3000, L'z') + L">", WinAPI::expandEnvironmentStrings(L"<%QKZ_LONG%>"));
    EXPECT_EQ(std::wstring(3000, L'z'), WinAPI::getEnvironmentVariable(L"QKZ_LONG"));
    EXPECT_EQ(L"", WinAPI::getEnvironmentVariable(L"QKZ_NOT_SET"));

    WinAPI::SplitPath parts = WinAPI::splitpath(WinPath(L"C:\\dir\\sub\\name.tar.gz"));
    EXPECT_EQ(L"C:|\\dir\\sub\\|name.tar|.gz", parts.drive + L"|" + parts.dir + L"|" + parts.name + L"|" + parts.ext);

    TempDir dir;
    WinPath temp = WinAPI::getTempFileName(dir.path(), L"qkz");
    EXPECT_TRUE(temp.exists());
    EXPECT_EQ(dir.path(), temp.getParent());
    const WinPath deep = dir.path() / std::wstring(MAX_PATH - 15 - dir.path().str().size(), L'd');
    deep.createDirectory();  // the longest directory whose names still fit
    EXPECT_TRUE(WinAPI::getTempFileName(deep, L"qkz").exists());
    EXPECT_EQ(qkztest::failureOf([&] { WinAPI::getTempFileName(WinPath(deep.str() + L"d"), L"qkz"); }).code,
              static_cast<unsigned long>(ERROR_BUFFER_OVERFLOW));  // room for the name is checked, not overrun
    WinPath here = WinAPI::getCurrentDirectory();
    WinAPI::chdir(dir.path());
    EXPECT_EQ(dir.path() / L"rel.txt", WinAPI::fullpath(WinPath(L"rel.txt")));
    WinAPI::chdir(here);
    EXPECT_EQ(qkztest::failureOf([&] { WinAPI::chdir(dir.path() / L"missing"); }),
              (qkztest::Failure{2u, L"WinAPI::chdir() failed."}));
    EXPECT_EQ(here, WinAPI::getCurrentDirectory());

    EXPECT_TRUE(WinAPI::getWindowsDirectory().exists());
    EXPECT_TRUE((WinAPI::getSystemDirectory() / L"kernel32.dll").exists());
    EXPECT_FALSE(WinAPI::getComputerName().empty());
    EXPECT_EQ(L"test_foundation.exe", WinAPI::getModuleFileName(nullptr).getFileName().str());
    EXPECT_EQ(WinAPI::getModuleFileName(nullptr), WinAPI::getModuleFileName(WinAPI::getModuleHandle(L"")));
    EXPECT_TRUE(WinAPI::searchPath(L"kernel32.dll").exists());
    // The system drive is one of the volumes, by its GUID path.
    bool systemDriveFound = false;
    for (const std::wstring& volume : WinAPI::listAllVolumes()) {
        EXPECT_EQ(0u, volume.find(L"\\\\?\\Volume{")) << volume;
        try {
            for (const std::wstring& mount : WinAPI::getVolumePathNamesForVolumeName(volume))
                systemDriveFound = systemDriveFound || _wcsicmp(mount.c_str(), L"C:\\") == 0;
        } catch (const CZelException&) {
            // a volume without mount points
        }
    }
    EXPECT_TRUE(systemDriveFound);
    // Window class names from one character to the longest an atom holds, and no window at all.
    for (size_t length : {1u, 255u}) {
        const std::wstring name(length, L'Q');
        WNDCLASSW type = {};
        type.lpfnWndProc = DefWindowProcW;
        type.lpszClassName = name.c_str();
        ASSERT_NE(0, RegisterClassW(&type));
        HWND window = CreateWindowW(name.c_str(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, window);
        EXPECT_EQ(name, WinAPI::realGetWindowClass(window));
        DestroyWindow(window);
        UnregisterClassW(name.c_str(), nullptr);
    }
    EXPECT_EQ(qkztest::failureOf([] { WinAPI::realGetWindowClass(nullptr); }).message, L"realGetWindowClass() failed");
    EXPECT_NE(WinAPI::WindowsVersion::Unknown, WinAPI::getWindowsVersion());
    using V = WinAPI::WindowsVersion;
    const struct {
        unsigned long major, minor, build;
        V workstation, server;
    } versions[] = {
        {5, 1, 2600, V::WindowsXP, V::WindowsXP},  {5, 2, 3790, V::WindowsXP, V::Server2003},
        {6, 0, 6002, V::Vista, V::Server2008},     {6, 1, 7601, V::Windows7, V::Server2008R2},
        {6, 2, 9200, V::Windows8, V::Server2012},  {6, 3, 9600, V::Windows81, V::Server2012R2},
        {10, 0, 21999, V::Windows10, V::Server2016}, {10, 0, 22000, V::Windows11, V::Server2016},
        {11, 0, 0, V::Newer, V::Newer},            {6, 4, 0, V::Unknown, V::Unknown},
        {4, 0, 1381, V::Unknown, V::Unknown},
    };
    for (const auto& v : versions) {
        EXPECT_EQ(v.workstation, WinAPI::classifyWindowsVersion({v.major, v.minor, v.build, true})) << v.major << v.minor;
        EXPECT_EQ(v.server, WinAPI::classifyWindowsVersion({v.major, v.minor, v.build, false})) << v.major << v.minor;
    }
    EXPECT_EQ(L"\u00e4\u4e2d", WinAPI::fromUtf8(WinAPI::toUtf8(L"\u00e4\u4e2d")));
    EXPECT_EQ("\xc3\xa4", WinAPI::toUtf8(L"\u00e4"));
}

} // namespace
