#include "TestEnv.h"
#include "WineDifferences.h"

#include <QoKivZelUt/NamedPipe.h>
#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/Token.h>

#include <aclapi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using ZelUt::NamedPipeClient;

namespace {

// The server with its pipe handle in reach, for raw calls beside the class's.
struct NamedPipeServer : ZelUt::NamedPipeServer {
    using ZelUt::NamedPipeServer::NamedPipeServer;
    HANDLE handle() const { return hnd(); }
};

std::wstring uniquePipe()
{
    return L"\\\\.\\pipe\\" + qkztest::uniqueName(L"qkz-pipe");
}

// Another server's pipe of one instance, made with the given default wait.
WinAPI::FileHandle oneInstancePipe(const std::wstring& name, DWORD defaultWaitMs)
{
    return WinAPI::FileHandle(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                               4096, defaultWaitMs, nullptr));
}

// Drops the instance's client and waits for the next one.
void takeNextClient(HANDLE server)
{
    DisconnectNamedPipe(server);
    ConnectNamedPipe(server, nullptr);
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
    EXPECT_EQ(qkztest::failureOf([&] { early.connect(300); }).message, L"Wait on pipe failed");

    const int messages = 40;
    ZelUt::AutoTerminateProcess server = peer(L"pipe serve " + name + L" --count " + std::to_wstring(messages + 1));
    early.connect(10000);  // waits for the server to make the pipe
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

// Open to everyone: clients of every account read and write, nobody but the
// creator may change the pipe's security or make instances of it.
TEST(NamedPipe, OpenToEveryoneGrantsClientsOnlyWhatTheyNeed)
{
    const std::wstring name = uniquePipe();
    NamedPipeServer everyone(name, true);
    CZelAcl dacl = CZelSecurityDescriptor::fromKernelObject(everyone.handle()).getDacl();
    ASSERT_TRUE(dacl.IsValid());
    const CZelSid world(CZelSid::World), creator = CZelSid::FromProcessUser();
    bool creatorHasAll = false;
    for (int i = 0; i < dacl.GetAceCount(); ++i) {
        CZelAce ace = dacl.GetAceAt(i);
        if (ace.GetSid() == world)
            EXPECT_EQ(DWORD(FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES), ace.GetAccessMask());
        creatorHasAll |= ace.GetSid() == creator && ((ace.GetAccessMask() & FILE_ALL_ACCESS) == FILE_ALL_ACCESS ||
                                                     (ace.GetAccessMask() & GENERIC_ALL));
    }
    EXPECT_TRUE(creatorHasAll);

    // The client end asks for no more than that, and lets the server identify it only.
    NamedPipeClient client(name);
    ASSERT_TRUE(client.write(L"hi"));
    everyone.connect();
    EXPECT_EQ(L"hi", everyone.read());
    ASSERT_TRUE(ImpersonateNamedPipeClient(everyone.handle()));
    CZelToken token;
    token.OpenThreadToken();
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    token.GetImpersonationLevel(&level);
    RevertToSelf();
    if (!qkztest::pipeClientQualityOfServiceIgnored())
        EXPECT_EQ(SecurityIdentification, level);

    qkztest::LogCapture log;
    everyone.disconnect();  // nothing left to read: no wait, no warning
    EXPECT_FALSE(log.contains(L"has not read what was sent"));
}

TEST(NamedPipe, MessagesEmptyQueuedAndLoggedAndADisconnectedClient)
{
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

    // Messages queued one behind the other stay apart, both ways; an empty one is one.
    ASSERT_TRUE(client.write(L"one") && client.write(L"") && client.write(L"x"));
    EXPECT_EQ(L"one", server.read());
    EXPECT_EQ(L"", server.read());
    EXPECT_EQ(L"x", server.read());
    ASSERT_TRUE(server.write(std::wstring(1500, L'a')) && server.write(L"b"));
    EXPECT_EQ(std::wstring(1500, L'a'), client.read());
    EXPECT_EQ(L"b", client.read());

    // A client that has stopped reading holds the disconnect for a bounded time.
    ASSERT_TRUE(server.write(L"never read"));
    const ULONGLONG start = GetTickCount64();
    server.disconnect();
    EXPECT_LT(GetTickCount64() - start, 20000u);
    EXPECT_EQ(L"", client.read());  // the server went away: no exception
    EXPECT_FALSE(client.isConnected());
    client.setNoLogging();
    EXPECT_FALSE(client.write(L"into the void"));
    EXPECT_TRUE(log.contains(L"Failed sending message: "));
}

// A writer that dies in the middle of a long message leaves it cut short:
// that is a failure, never a shorter text. (Where the writer dies before the
// read begins, nothing is read; where after, all of it.)
TEST(NamedPipe, AMessageCutShortIsAFailure)
{
    const unsigned long bytes = 16 * 1024 * 1024;
    for (int round = 0; round < 3; ++round) {
        const std::wstring name = uniquePipe();
        NamedPipeServer server(name, false);
        server.setNoLogging();
        qkztest::Child writer(L"pipemessage " + name + L" " + std::to_wstring(bytes));
        server.connect();
        DWORD available = 0;
        for (int i = 0; i < 3000 && available == 0; ++i, Sleep(1))
            PeekNamedPipe(server.handle(), nullptr, 0, nullptr, &available, nullptr);
        std::thread killer([&] {
            Sleep(round);
            TerminateProcess(writer.handle(), 1);
        });
        try {
            std::wstring text = server.read();
            EXPECT_TRUE(text.empty() || text.size() == bytes) << "a message of " << text.size() << " characters";
        } catch (const CZelException& e) {
            EXPECT_EQ(L"NamedPipe::read() failed.", e.getMessage());
        }
        killer.join();
    }
}

// A client cannot make the server keep more than 64 MiB of one message; the
// message is refused whole, and the next one is read as it was sent.
TEST(NamedPipe, AnOverlongMessageIsRefusedWhole)
{
    // Past the bound in its last read, and with 128 KiB still to come.
    for (size_t characters : {(32u << 20) + 1, (32u << 20) + (64u << 10)}) {
        const std::wstring name = uniquePipe();
        NamedPipeServer server(name, false);
        server.setNoLogging();
        std::thread client([&] {
            NamedPipeClient sender(name);
            sender.connect(10000);
            sender.write(std::wstring(characters, L'x'));
            sender.write(L"next");
        });
        server.connect();
        EXPECT_EQ(qkztest::failureOf([&] { server.read(); }),
                  (qkztest::Failure{ERROR_MESSAGE_EXCEEDS_MAX_SIZE, L"NamedPipe::read() failed."}));
        EXPECT_EQ(L"next", server.read());
        client.join();
    }
}

// A server that drops each client right after taking it: the client's wait
// for the connection ends within its time-out.
TEST(NamedPipe, ClientConnectEndsWhenTheServerDropsIt)
{
    const std::wstring name = uniquePipe();
    NamedPipeServer server(name, false);
    std::atomic<bool> stop{false};
    std::thread dropper([&] {
        while (!stop) {
            ConnectNamedPipe(server.handle(), nullptr);
            DisconnectNamedPipe(server.handle());
        }
    });
    const ULONGLONG start = GetTickCount64();
    for (int i = 0; i < 100; ++i) {
        NamedPipeClient client(L"\\\\.\\pipe\\qkz-unused");
        client = NamedPipeClient(name);
        try {
            client.connect(100);
        } catch (const CZelException& e) {
            EXPECT_EQ(L"Wait on pipe failed", e.getMessage());
        }
    }
    EXPECT_LT(GetTickCount64() - start, 100 * 400u);
    stop = true;
    NamedPipeClient last(name);  // wakes the dropper's last wait
    dropper.join();
}

} // namespace

// A byte-typed pipe of another server: what has arrived is read whole, past the first read's size.
TEST(NamedPipe, ByteTypedPipeIsReadWhole)
{
    const std::wstring name = uniquePipe();
    WinAPI::FileHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536,
                                               65536, 0, nullptr));
    ASSERT_TRUE(server.valid());
    NamedPipeClient client(name);
    client.connect(10000);
    ASSERT_TRUE(client.isConnected());
    const std::string bytes(5000, 'b');  // more than one read takes, each byte a character to its last
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(server, bytes.data(), DWORD(bytes.size()), &written, nullptr));
    EXPECT_EQ(std::wstring(5000, L'b'), client.read());
    server.release();
    EXPECT_EQ(L"", client.read());  // the server went away: no exception
}

// What such a server sends at once is read up to 64 MiB, the bound itself
// included; one byte more is refused.
TEST(NamedPipe, ByteTypedPipeReadsUpToTheBound)
{
    const size_t bound = size_t(64) << 20;
    for (size_t size : {bound, bound + 1}) {
        const std::wstring name = uniquePipe();
        WinAPI::FileHandle server(oneInstancePipe(name, 0));
        NamedPipeClient client(name);
        client.connect(10000);
        std::thread writer([&] {
            const std::string bytes(size, 'b');
            DWORD written = 0;
            WriteFile(server, bytes.data(), DWORD(bytes.size()), &written, nullptr);
        });
        const qkztest::Failure failure = qkztest::failureOf([&] { EXPECT_EQ(size, client.read().size()); });
        writer.join();
        if (size == bound)
            EXPECT_EQ(0xFFFFFFFFu, failure.code) << failure;
        else
            EXPECT_EQ((qkztest::Failure{ERROR_MESSAGE_EXCEEDS_MAX_SIZE, L"NamedPipe::read() failed."}), failure);
    }
}

// The pipe's default wait, asked for with NMPWAIT_USE_DEFAULT_WAIT, is the
// time-out its server made it with: a client waits that long for the one
// instance another client holds.
TEST(NamedPipe, TheDefaultWaitIsThePipesOwn)
{
    const std::wstring name = uniquePipe();
    NamedPipeClient second(name);  // made before the pipe, so that only connect() waits
    WinAPI::FileHandle server = oneInstancePipe(name, 20000);
    ASSERT_TRUE(server.valid());
    NamedPipeClient first(name);
    first.connect(10000);
    std::thread handOver([&] {
        Sleep(300);
        takeNextClient(server);
    });
    EXPECT_NO_THROW(second.connect(NMPWAIT_USE_DEFAULT_WAIT));
    if (!second.isConnected())
        NamedPipeClient(name).connect(10000);  // ends the server's wait for a client
    handOver.join();
    EXPECT_TRUE(second.isConnected());
}

// A server whose one instance is busy and whose default wait is for ever:
// a client made now is not connected, and made at once.
TEST(NamedPipe, AClientIsMadeAtOnceWhateverTheServersDefaultWait)
{
    const std::wstring name = uniquePipe();
    WinAPI::FileHandle server = oneInstancePipe(name, NMPWAIT_WAIT_FOREVER);
    ASSERT_TRUE(server.valid());
    NamedPipeClient first(name);
    ASSERT_TRUE(first.isConnected());
    std::atomic<bool> made{false}, connected{false};
    std::thread maker([&] {
        NamedPipeClient second(name);
        connected = second.isConnected();
        made = true;
    });
    for (int i = 0; i < 500 && !made; ++i)
        Sleep(10);
    EXPECT_TRUE(made) << "the client waited for the busy instance";
    EXPECT_FALSE(connected);
    if (!made)
        takeNextClient(server);  // frees the instance, so the waiting client can end
    maker.join();
}

// A name another account made first (a squatter waiting for the server's
// clients) is not joined as a further instance; this account's own further
// instances are.
TEST(NamedPipe, APipeAnotherAccountMadeFirstIsNotJoined)
{
    const std::wstring name = uniquePipe();
    CZelSecurityDescriptor foreign = CZelSecurityDescriptor::fromSddl(L"O:SYD:(A;;GA;;;WD)");
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, foreign.getSD(), FALSE};
    WinAPI::FileHandle squatter(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE,
                                                 PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, &attributes));
    if (!squatter.valid())
        GTEST_SKIP() << "this account cannot make a pipe owned by the system: " << GetLastError();
    for (bool openToEveryone : {false, true}) {
        qkztest::LogCapture log;
        const unsigned long handles = qkztest::openHandleCount();
        qkztest::Failure failure = qkztest::failureOf([&] { NamedPipeServer joined(name, openToEveryone); });
        EXPECT_EQ(L"Failure in creating listener pipe", failure.message);
        EXPECT_EQ(unsigned(ERROR_ACCESS_DENIED), failure.code);
        EXPECT_TRUE(log.contains(L"was made by another account (S-1-5-18)"));
        EXPECT_EQ(handles, qkztest::openHandleCount());
    }
    for (bool openToEveryone : {false, true}) {
        const std::wstring own = uniquePipe();
        NamedPipeServer first(own, openToEveryone), second(own, openToEveryone);
        NamedPipeClient a(own), b(own);
        EXPECT_TRUE(a.isConnected() && b.isConnected());
    }
}
