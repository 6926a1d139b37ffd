// Runs beside a .NET utility that misbehaves on purpose (bin/misbehaving),
// chosen as DotNetUtils40.exe through the .NET 4 client profile's key.
#include <QoKivZelUt/DotNetResolver.h>

#include "TestEnv.h"
#include "foundation/CurrentDirectory.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

namespace {

const wchar_t kClientKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client";

// A real assembly under a name that tells the utility how to misbehave.
class Assembly {
public:
    explicit Assembly(const std::wstring& behaviour)
        : m_path(m_dir.path() / (behaviour + L".dll"))
    {
        WinAPI::copyFile(qkztest::binDir().getParent() / L"assemblies" / L"app" / L"Lib.dll", m_path);
    }
    const WinPath& path() const { return m_path; }

private:
    qkztest::TempDir m_dir;
    WinPath m_path;
};

int runningCopies(const wchar_t* image)
{
    WinAPI::FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {sizeof(entry)};
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        count += _wcsicmp(entry.szExeFile, image) == 0;
    return count;
}

} // namespace

TEST(DotNetUtilsMisbehaving, TheClientProfileKeyChoosesTheVersion4Utility)
{
    WinAPI::RegKey key = WinAPI::regCreateKeyEx(HKEY_LOCAL_MACHINE, kClientKey);
    WinAPI::regSetValueEx(key, L"InstallPath", WinAPI::RegValue::fromString(L"InstallPath", L"C:\\Framework\\v4"));
    Assembly assembly(L"bomcrlf");
    qkztest::LogCapture log;
    // Given relative to the caller's directory, the utility is still told the full path.
    ZelUt::CurrentDirectory here(assembly.path().getParent());
    ZelUt::DotNetResolver resolver(WinPath(L"bomcrlf.dll"));
    EXPECT_EQ(resolver.getDotNetUtils().str(), (qkztest::binDir() / L"DotNetUtils40.exe").str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kClientKey);
    EXPECT_EQ(resolver.getDotNetUtils().str(), (qkztest::binDir() / L"DotNetUtils40.exe").str()) << "kept";

    EXPECT_EQ(resolver.getAssemblyName(), L"Good, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null")
        << log.text();
    EXPECT_TRUE(resolver.resolveReferences()) << log.text();
    ASSERT_EQ(resolver.getRequiredAssemblies().size(), 1u);
    EXPECT_EQ(resolver.getRequiredAssemblies().begin()->second.str(), assembly.path().str());
    EXPECT_TRUE(resolver.getMissingAssemblyNames().empty());
}

TEST(DotNetUtilsMisbehaving, UnresolvedMalformedFailingAndSilentAnswers)
{
    Assembly emptyPath(L"emptypath");
    ZelUt::DotNetResolver unresolved(emptyPath.path());
    EXPECT_FALSE(unresolved.resolveReferences());
    EXPECT_EQ(unresolved.getRequiredAssemblies().count(L"Gone, Version=1.0.0.0"), 1u);
    EXPECT_EQ(unresolved.getMissingAssemblyNames(), std::set<std::wstring>{L"Gone, Version=1.0.0.0"});

    // No separator, a forged second separator, output without end.
    for (const wchar_t* behaviour : {L"malformed", L"forged", L"endless"}) {
        Assembly malformed(behaviour);
        ZelUt::DotNetResolver bad(malformed.path());
        EXPECT_EQ(qkztest::failureOf([&] { bad.resolveReferences(); }),
                  (qkztest::Failure{13u, L"Invalid data received from DotNetUtils"}));
        EXPECT_EQ(bad.getRequiredAssemblies().count(L"a"), 0u) << behaviour;
        EXPECT_EQ(runningCopies(L"DotNetUtils40.exe"), 0) << behaviour;
    }

    qkztest::LogCapture log;
    Assembly twoLines(L"malformed");
    EXPECT_EQ(ZelUt::DotNetResolver(twoLines.path()).getAssemblyName(), L"") << "a name with a second line";
    Assembly noReferences(L"norefs");
    ZelUt::DotNetResolver alone(noReferences.path());
    EXPECT_TRUE(alone.resolveReferences());
    EXPECT_TRUE(alone.getRequiredAssemblies().empty());
    Assembly lineFeedOnly(L"lfonly");
    EXPECT_EQ(ZelUt::DotNetResolver(lineFeedOnly.path()).getAssemblyName(), L"Good, Version=1.0.0.0");
    Assembly failing(L"failing"), silent(L"silent");
    EXPECT_EQ(ZelUt::DotNetResolver(failing.path()).getAssemblyName(), L"");
    EXPECT_TRUE(log.contains(L"getAssemblyName error exit: 3"));
    ZelUt::DotNetResolver quiet(silent.path());
    EXPECT_FALSE(quiet.resolveReferences());
    EXPECT_TRUE(log.contains(L"getAssemblyReferences empty output"));
    EXPECT_TRUE(quiet.getRequiredAssemblies().empty());
}

TEST(DotNetUtilsMisbehaving, AUtilityRunningLongerThan30SecondsIsGivenUp)
{
    Assembly slow(L"timeout");
    qkztest::LogCapture log;
    EXPECT_EQ(ZelUt::DotNetResolver(slow.path()).getAssemblyName(), L"");
    EXPECT_TRUE(log.contains(L"Timeout while running " + (qkztest::binDir() / L"DotNetUtils40.exe").str()));
    EXPECT_EQ(runningCopies(L"DotNetUtils40.exe"), 0) << "the hung utility was ended";
}
