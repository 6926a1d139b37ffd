#include <QoKivZelUt/ZelPath.h>

#include "FakeApis.h"
#include "MappedResolver.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

using qkztest::FakeShares;

namespace {

std::wstring computer()
{
    return WinAPI::getComputerName();
}

std::wstring universal(const wchar_t* path, bool hidden, bool skipShareSearch)
{
    return CZelPath::NetGetUniversalName(WinPath(path), hidden, skipShareSearch).str();
}

WinPath onComputer(const std::wstring& rest)
{
    return WinPath(L"\\\\" + computer() + L"\\" + rest);
}

} // namespace

TEST(ZelPath, ArgumentsCompareWithoutBlanksSlashesAndCase)
{
    struct Row {
        const wchar_t* a;
        const wchar_t* b;
        bool equal;
    } rows[] = {
        {L"/quiet /norestart", L"QUIET NORESTART", true}, {L"-a", L"- A", true},  {L"-a", L"/a", false},
        {L"", L" \t/ / ", true},      {L"x\u3000Y", L"xy", true},  // ideographic space
        {L"ab", L"abc", false},       {nullptr, nullptr, true},    {L"", nullptr, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(CZelPath::ArgumentsEqual(row.a, row.b), row.equal) << (row.a ? row.a : L"(null)");
        EXPECT_EQ(CZelPath::ArgumentsEqual(row.b, row.a), row.equal);
    }
    EXPECT_TRUE(CZelPath::ArgumentsEqual(std::wstring(L"/A B"), std::wstring(L"ab")));
}

TEST(ZelPath, ShareSearchPicksTheLongestDirectoryAndHidesDollarShares)
{
    FakeShares fake;
    fake.shares = {{L"all", L"C:\\"},      {L"data", L"c:\\data\\"},     {L"same", L"C:\\DATA"},
                   {L"", L"C:\\data\\sub"}, {L"nopath", L""},             {L"admin$", L"C:\\data\\sub\\deep"},
                   {L"D$", L"C:\\only-hidden"}};
    fake.pageSize = 2;  // four calls with the resume handle

    EXPECT_EQ(universal(L"C:\\data\\sub\\deep\\f.txt", false, false), onComputer(L"data\\sub\\deep\\f.txt").str());
    EXPECT_EQ(fake.enumCalls, 4);
    EXPECT_EQ(universal(L"C:\\data\\sub\\deep\\f.txt", true, false), onComputer(L"admin$\\f.txt").str());
    EXPECT_EQ(universal(L"C:\\other\\x", false, false), onComputer(L"all\\other\\x").str());
    EXPECT_EQ(universal(L"C:\\only-hidden\\x", true, false), onComputer(L"D$\\x").str());

    fake.shares.erase(fake.shares.begin());  // without "all", C:\only-hidden is reachable through D$ alone
    EXPECT_EQ(universal(L"C:\\only-hidden\\x", false, false), L"C:\\only-hidden\\x");
    EXPECT_EQ(universal(L"C:\\data\\..\\only-hidden\\x", false, false), L"C:\\data\\..\\only-hidden\\x");
    EXPECT_EQ(universal(L"C:\\data\\sub\\..\\.\\x", false, false), onComputer(L"data\\x").str());
    int calls = fake.enumCalls;
    EXPECT_EQ(universal(L"C:\\data\\x", false, true), L"C:\\data\\x");
    EXPECT_EQ(fake.enumCalls, calls) << "no share search when it is skipped";
    EXPECT_EQ(universal(L"\\\\srv\\s\\x", true, false), L"\\\\srv\\s\\x");
}

TEST(ZelPath, RedirectorAnswerWinsAndEveryOddAnswerFallsBack)
{
    FakeShares fake;
    fake.shares = {{L"data", L"C:\\data"}};
    fake.universal = L"\\\\fileserver\\apps\\setup/";
    EXPECT_EQ(universal(L"N:\\setup", false, false), L"\\\\fileserver\\apps\\setup");
    EXPECT_EQ(fake.enumCalls, 0);

    fake.universal.clear();
    for (unsigned long status : {ERROR_NOT_CONNECTED, ERROR_MORE_DATA, ERROR_BAD_DEVICE}) {
        fake.universalStatus = status;  // ERROR_MORE_DATA without a size is no answer either
        EXPECT_EQ(universal(L"C:\\data\\a", false, false),
                  onComputer(L"data\\a").str());
    }
}

TEST(ZelPath, ShareEnumerationKeepsWhatCameBeforeAFailure)
{
    {
        FakeShares fake;
        fake.shares = {{L"a", L"C:\\a"}, {L"b", L"C:\\b"}, {L"c", L"C:\\c"}};
        fake.pageSize = 2;
        fake.finalStatus = ERROR_NOT_SUPPORTED;
        qkztest::LogCapture log;
        std::vector<CZelPath::shareInfo> shares = CZelPath::NetEnumShares();
        ASSERT_EQ(shares.size(), 3u);
        EXPECT_EQ(shares[2].name, L"c");
        EXPECT_EQ(shares[2].path.str(), L"C:\\c");
        EXPECT_TRUE(log.contains(L"NetEnumShares: API call failed: "));
    }
    // The system's own answer here: not supported, no shares, one error logged.
    qkztest::LogCapture log;
    EXPECT_TRUE(CZelPath::NetEnumShares().empty());
    EXPECT_TRUE(log.contains(L"NetEnumShares: API call failed: "));
}

TEST(ZelPath, LocalPathOfAShareComesFromTheShareOrTheReplacedResolver)
{
    {
        FakeShares fake;
        fake.shareDirs[L"data"] = L"C:\\data\\";
        EXPECT_EQ(CZelPath::GetLocalPathFromUNC(onComputer(L"data\\sub\\f.txt")).str(), L"C:\\data\\sub\\f.txt");
        EXPECT_EQ(CZelPath::GetLocalPathFromUNC(onComputer(L"data")).str(), L"C:\\data");
        EXPECT_EQ(CZelPath::GetLocalPathFromUNC(onComputer(L"data\\a\\..\\..\\..\\Windows\\.\\x")).str(),
                  L"C:\\data\\Windows\\x");  // as the share resolves it, never above its directory
        EXPECT_EQ(CZelPath::GetLocalPathFromUNC(WinPath(L"C:\\x")).str(), L"C:\\x");
        qkztest::LogCapture log;
        qkztest::Failure failure = qkztest::failureOf([] { CZelPath::GetLocalPathFromUNC(onComputer(L"missing\\f")); });
        EXPECT_EQ(failure.code, 2310u);
        EXPECT_NE(failure.message.find(L"ERROR: Could not retrieve Share info."), std::wstring::npos);
        EXPECT_TRUE(log.contains(L"ERROR: Could not retrieve Share info: 2310"));
    }

    auto resolver = std::make_shared<qkztest::MappedResolver>(WinPath(L"D:\\mirror"));
    CZelPath::replaceResolver(resolver);
    EXPECT_EQ(&CZelPath::getInstance(), resolver.get());
    EXPECT_EQ(CZelPath::GetLocalPathFromUNC(WinPath(L"\\\\any\\share\\f.txt")).str(), L"D:\\mirror\\f.txt");
    CZelPath::replaceResolver(nullptr);
    EXPECT_EQ(resolver.use_count(), 1) << "the replaced resolver is released";
    EXPECT_THROW(CZelPath::GetLocalPathFromUNC(WinPath(L"\\\\any\\share\\f.txt")), CZelException);
}

TEST(ZelPath, MakeUniqueExpandsAndGivesNetworkDrivesTheirShareName)
{
    qkztest::OwnShare share;
    WinPath below = share.local() / L"Long Directory Name";
    below.createDirectory();
    FakeShares fake;
    fake.shares = {{share.name(), L"N:\\"}};

    SetEnvironmentVariableW(L"QKZ_NETWORK_DRIVE", L"N:");
    WinPath unique = CZelPath::PathMakeUnique(WinPath(L"%QKZ_NETWORK_DRIVE%\\Long Directory Name"));
    SetEnvironmentVariableW(L"QKZ_NETWORK_DRIVE", nullptr);
    EXPECT_EQ(unique.str(), (share.unc() / L"Long Directory Name").str());

    qkztest::TempDir local;
    WinPath longName = local.path() / L"A Long Directory Name";
    longName.createDirectory();
    WinPath shortName = WinAPI::getShortPathName(longName);
    EXPECT_EQ(CZelPath::PathMakeUnique(shortName).str(), longName.str());
    EXPECT_THROW(CZelPath::PathMakeUnique(local.path() / L"missing"), CZelException);
}

TEST(ZelPath, VerifyTellsUsableMissingAndUnwritableTargets)
{
    qkztest::TempDir dir;
    EXPECT_EQ(CZelPath::Verify(WinPath()), INPUT_PATH_MISSING);
    EXPECT_EQ(CZelPath::Verify(dir.path() / L"missing"), INPUT_PATH_MISSING);
    EXPECT_EQ(CZelPath::Verify(dir.path()), INPUT_PATH_USABLE);
    EXPECT_EQ(CZelPath::Verify(WinPath(L"N:\\")), INPUT_PATH_USABLE);
    EXPECT_TRUE(qkztest::filesIn(dir.path()).empty()) << "the probe file is deleted";

    FakeShares fake;
    fake.unwritable = {dir.path().str(), L"N:\\"};
    EXPECT_EQ(CZelPath::Verify(dir.path()), INPUT_PATH_LOCAL_NOT_WRITABLE);
    EXPECT_EQ(CZelPath::Verify(WinPath(L"N:\\")), INPUT_PATH_NETWORK_NOT_WRITABLE);
    EXPECT_EQ(CZelPath::Verify(WinPath(L"\\\\nosuchserver\\share\\dir")), INPUT_PATH_NETWORK_NOT_WRITABLE)
        << "a network path is not tested for existence";
    fake.unwritable.clear();
    fake.probesHeld = true;
    EXPECT_EQ(CZelPath::Verify(dir.path()), INPUT_PATH_LOCAL_NOT_WRITABLE) << "a probe file that cannot be removed";
}

// Paths at the length limits, behind the long-path prefix, relative and long:
// each told for what it is, none crashing the system's calls.
TEST(ZelPath, LongPathsAndUnendingShareLists)
{
    qkztest::TempDir dir;
    WinPath deep = dir.path();
    while (deep.str().size() < 300) {
        deep = deep / std::wstring(40, L'd');
        ASSERT_TRUE(CreateDirectoryW(deep.getLongPath().str().c_str(), nullptr));
    }
    EXPECT_EQ(CZelPath::Verify(deep.getLongPath()), INPUT_PATH_USABLE);  // local, though it starts with "\\\\"
    EXPECT_EQ(CZelPath::Verify(deep), INPUT_PATH_USABLE);
    EXPECT_TRUE(qkztest::filesIn(dir.path()).empty()) << "the probe file is deleted";

    FakeShares fake;
    fake.shares = {{L"net", L"N:\\"}};
    EXPECT_EQ(CZelPath::PathMakeUnique(WinPath(L"\\\\?\\N:\\tools\\x.exe")).str(), onComputer(L"net\\tools\\x.exe").str());
    const std::wstring relative = std::wstring(1100 / 3, L'a') + L"\\..\\" + std::wstring(1100 / 3, L'b');
    EXPECT_NO_THROW(CZelPath::PathMakeUnique(WinPath(relative)));

    fake.shares = {{L"x", L"C:\\x"}};
    fake.emptyPagesFirst = 1;  // one empty "more" is borne, the shares follow
    EXPECT_EQ(1u, CZelPath::NetEnumShares().size());
    fake.pageSize = 0;  // "more" for ever, with nothing given
    fake.enumCalls = 0;
    qkztest::LogCapture log;
    EXPECT_TRUE(CZelPath::NetEnumShares().empty());
    EXPECT_LE(fake.enumCalls, 3);
    EXPECT_TRUE(log.contains(L"NetEnumShares: API call failed: more shares announced, none given"));
}

// Kept last: once the policy is seen, resolution stays off for the process.
TEST(ZelPathPolicy, SkipUncResolutionStopsResolutionForGood)
{
    FakeShares fake;
    fake.shares = {{L"net", L"N:\\"}};
    WinPath path(L"N:\\tools\\x.exe");
    ASSERT_EQ(CZelPath::NetGetUniversalName(path, false, false).str(), onComputer(L"net\\tools\\x.exe").str());

    const wchar_t* policies = L"Software\\KIV\\QoKIVSetup\\Policies";
    WinAPI::RegKey key = WinAPI::regCreateKeyEx(HKEY_LOCAL_MACHINE, policies);
    WinAPI::regSetValueEx(key, L"SkipUncResolution", WinAPI::RegValue::fromString(L"SkipUncResolution", L"1"));
    EXPECT_EQ(CZelPath::NetGetUniversalName(path, false, false).str(), onComputer(L"net\\tools\\x.exe").str())
        << "only a REG_DWORD of 1 counts";
    WinAPI::regSetValueEx(key, L"SkipUncResolution", WinAPI::RegValue::fromDWORD(L"SkipUncResolution", 1));
    EXPECT_EQ(CZelPath::NetGetUniversalName(path, false, false).str(), path.str());
    WinAPI::regDeleteValue(key, L"SkipUncResolution");
    EXPECT_EQ(CZelPath::NetGetUniversalName(path, false, false).str(), path.str());
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, policies), ERROR_SUCCESS);
}
