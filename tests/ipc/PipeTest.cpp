#include "TestEnv.h"

#include <QoKivZelUt/NamedPipe.h>
#include <QoKivZelUt/Process.h>

#include <aclapi.h>
#include <gtest/gtest.h>

using ZelUt::NamedPipeClient;
using ZelUt::NamedPipeServer;

namespace {

std::wstring uniquePipe()
{
    return L"\\\\.\\pipe\\" + qkztest::uniqueName(L"qkz-pipe");
}

// zelut in a process of its own, as the other side.
ZelUt::AutoTerminateProcess peer(const std::wstring& arguments)
{
    ZelUt::AutoTerminateProcess p(qkztest::binDir() / L"zelut.exe", arguments, WinPath());
    p.start(true);
    return p;
}

TEST(NamedPipe, ClientTalksToAServerInAnotherProcess)
{
    const std::wstring name = uniquePipe();
    NamedPipeClient early(name);  // before the server exists
    EXPECT_FALSE(early.isConnected());
    EXPECT_FALSE(early.pipeExists());
    try {
        early.connect(300);
        FAIL() << "connected without a server";
    } catch (const CZelException& e) {
        EXPECT_EQ(L"Wait on pipe failed", e.getMessage());
    }

    const int messages = 40;
    ZelUt::AutoTerminateProcess server = peer(L"pipe serve " + name + L" --count " + std::to_wstring(messages + 1));
    for (int i = 0; i < 100 && !early.pipeExists(); ++i)
        Sleep(100);
    early.connect(10000);
    EXPECT_TRUE(early.isConnected());
    early.connect(10000);  // connected: returns at once
    const std::wstring longText(3000, L'x');  // 6000 bytes: several reads
    ASSERT_TRUE(early.write(longText));
    EXPECT_EQ(std::wstring(3000, L'X'), early.read());
    for (int i = 1; i < messages; ++i) {
        std::wstring text = L"message " + std::to_wstring(i);
        ASSERT_TRUE(early.write(text));
        ASSERT_EQ(L"MESSAGE " + std::to_wstring(i), early.read());
    }

    // The server takes the next client after this one goes away.
    early = NamedPipeClient(L"\\\\.\\pipe\\qkz-unused");
    NamedPipeClient second(name);
    second.connect(10000);
    ASSERT_TRUE(second.write(L"caf\u00e9 \u4e2d"));
    EXPECT_EQ(L"CAF\u00e9 -N", second.read());  // each byte a character: U+4E2D comes back as "-N"
    ASSERT_TRUE(server.wait(30000));
    EXPECT_NE(std::wstring::npos, server.getOutputA().find(L"served 41 messages"));
}

TEST(NamedPipe, DisconnectLoggingAndOpenToEveryone)
{
    {
        // Open to everyone: a present but null DACL.
        const std::wstring open = uniquePipe();
        NamedPipeServer everyone(open, true);
        WinAPI::FileHandle raw(CreateFileW(open.c_str(), GENERIC_READ | READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(raw.valid());
        PACL dacl = reinterpret_cast<PACL>(1);
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_EQ(DWORD(ERROR_SUCCESS), GetSecurityInfo(raw, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                        nullptr, &dacl, nullptr, &sd));
        EXPECT_EQ(nullptr, dacl);
        LocalFree(sd);
    }
    const std::wstring name = uniquePipe();
    NamedPipeServer server(name, false);
    NamedPipeClient client(name);
    ASSERT_TRUE(client.isConnected());
    server.connect();  // the client came first
    qkztest::LogCapture log;
    ASSERT_TRUE(client.write(L"secret words"));
    EXPECT_EQ(L"secret words", server.read());
    EXPECT_TRUE(log.contains(L"Pipe read message:\nsecret words"));
    server.setNoLogging();
    client.write(L"hidden words");
    EXPECT_EQ(L"hidden words", server.read());
    EXPECT_FALSE(log.contains(L"hidden words"));

    // Messages queued one behind the other stay apart, both ways.
    ASSERT_TRUE(client.write(L"one") && client.write(L"two"));
    EXPECT_EQ(L"one", server.read());
    EXPECT_EQ(L"two", server.read());
    ASSERT_TRUE(server.write(std::wstring(1500, L'a')) && server.write(L"b"));
    EXPECT_EQ(std::wstring(1500, L'a'), client.read());
    EXPECT_EQ(L"b", client.read());

    server.disconnect();
    EXPECT_EQ(L"", client.read());  // the server went away: no exception
    EXPECT_FALSE(client.isConnected());
    client.setNoLogging();
    EXPECT_FALSE(client.write(L"into the void"));
    EXPECT_TRUE(log.contains(L"Failed sending message: "));
}

} // namespace
