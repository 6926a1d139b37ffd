#include <QoKivZelUt/ImageResolver.h>

#include "TestEnv.h"
#include "foundation/CurrentDirectory.h"
#include "image/ManifestText.h"

#include <gtest/gtest.h>

using namespace qkztest;

namespace {

const wchar_t* const kApp = L"qkz_resolver_app.exe";
const wchar_t* const kDep = L"qkz_resolver_dep.dll";

WinPath resolverDir() { return binDir() / L"resolver"; }

// The test program copied alone, or with the lesser build of its library.
WinPath copyApp(const TempDir& dir, bool withLesserDep)
{
    WinAPI::copyFile(resolverDir() / kApp, dir.path() / kApp);
    if (withLesserDep)
        WinAPI::copyFile(resolverDir() / L"lesser" / kDep, dir.path() / kDep);
    return dir.path() / kApp;
}

bool requires(const ImageResolver& resolver, const WinPath& module)
{
    return resolver.getRequiredModules().count(module) != 0;
}

} // namespace

TEST(ImageResolver, ResolvesAProgramBesideItsLibrary)
{
    LogCapture log;
    ImageResolver resolver(resolverDir() / kApp);
    EXPECT_TRUE(resolver.resolveReferences());
    EXPECT_TRUE(resolver.getMissingModules().empty());
    EXPECT_TRUE(resolver.getMissingExports().empty());
    EXPECT_TRUE(requires(resolver, resolverDir() / kDep));
    // system modules of the system's maker count as present; their own imports are not followed
    WinPath kernel32 = WinAPI::getSystemDirectory() / L"kernel32.dll";
    EXPECT_TRUE(requires(resolver, kernel32));
    EXPECT_FALSE(requires(resolver, WinAPI::getSystemDirectory() / L"ntdll.dll"));
    resolver.logResolveErrors();
    EXPECT_TRUE(log.entries().empty());

    // seeded exports of a found module are used without reading it, and a second seed is ignored
    TempDir dir;
    WinPath app = copyApp(dir, true);
    ImageResolver seeded(app);
    seeded.setFakeExports(dir.path() / kDep, {L"Alpha", L"Beta", L"5"});
    seeded.setFakeExports(dir.path() / kDep, {});
    EXPECT_TRUE(seeded.resolveReferences());
}

TEST(ImageResolver, MissingModuleAndMissingExports)
{
    TempDir alone, elsewhere;
    LogCapture log;
    ImageResolver lonely(copyApp(alone, false));
    {
        // A library of the name in the caller's current directory is not the program's.
        WinAPI::copyFile(resolverDir() / kDep, elsewhere.path() / kDep);
        ZelUt::CurrentDirectory there(elsewhere.path());
        EXPECT_FALSE(lonely.resolveReferencesNonRecursive());
    }
    EXPECT_FALSE(lonely.resolveReferences());
    EXPECT_EQ(std::set<WinPath>{WinPath(kDep)}, lonely.getMissingModules());
    EXPECT_TRUE(requires(lonely, WinPath(kDep)));
    EXPECT_TRUE(log.contains(L"WinAPI::searchPath() failed. - qkz_resolver_dep.dll: "));
    lonely.logResolveErrors();
    EXPECT_TRUE(log.contains(L"The module " + lonely.getImagePath().str() +
                             L" could not be loaded due to unresolved module dependencies:\n"
                             L"Module qkz_resolver_dep.dll is unresolved\n"));

    TempDir dir;
    WinPath app = copyApp(dir, true);
    ImageResolver lesser(app);
    EXPECT_FALSE(lesser.resolveReferencesNonRecursive());
    WinPath dep = dir.path() / kDep;
    ASSERT_EQ(1u, lesser.getMissingExports().size());
    EXPECT_EQ((std::set<std::wstring>{L"5", L"Beta"}), lesser.getMissingExports().at({app, dep}));
    EXPECT_EQ(std::set<WinPath>{dep}, lesser.getModulesWithMissingExports());
    EXPECT_TRUE(lesser.getMissingModules().empty());
    lesser.logResolveErrors();
    EXPECT_TRUE(log.contains(L"could not be loaded due to unresolved exports:\n"));
    EXPECT_TRUE(log.contains(L"Export Beta <-- " + dep.str() + L" (version 1.2.3.4) required by " +
                             app.str() + L" is unresolved\n"));
    EXPECT_TRUE(log.contains(L"Export 5 <-- "));
}

TEST(ImageResolver, RecursionCyclesAndSeededImports)
{
    TempDir dir;
    WinPath app = copyApp(dir, true);
    WinPath dep = dir.path() / kDep;
    {
        // The library imports the program back and a module nobody has.
        ImageResolver resolver(app);
        resolver.setFakeExports(dep, {L"Alpha", L"Beta", L"5"});
        resolver.setFakeImports(dep, {{WinPath(kApp), {}}, {WinPath(L"qkz_nowhere.dll"), {L"Gone"}}});
        EXPECT_TRUE(resolver.resolveReferencesNonRecursive());
        EXPECT_FALSE(resolver.resolveReferences());
        EXPECT_EQ(std::set<WinPath>{WinPath(L"qkz_nowhere.dll")}, resolver.getMissingModules());
        EXPECT_TRUE(requires(resolver, app));
    }
    if (WinAPI::isWindows10OrLater()) {
        ImageResolver resolver(app);
        resolver.setFakeImports(app, {{WinPath(L"api-ms-win-crt-runtime-l1-1-0.dll"), {L"_initterm"}}});
        EXPECT_TRUE(resolver.resolveReferences());
        EXPECT_TRUE(requires(resolver, WinPath(L"api-ms-win-crt-runtime-l1-1-0.dll")));
        EXPECT_TRUE(resolver.getMissingModules().empty());
    }
    // A dependency that is no image: logged and false.
    dir.write(L"qkz_text.dll", "not an image");
    LogCapture log;
    ImageResolver resolver(app);
    resolver.setFakeImports(app, {{WinPath(L"qkz_text.dll"), {}}});
    EXPECT_FALSE(resolver.resolveReferences());
    EXPECT_TRUE(log.contains(L"Could not resolve references of " + (dir.path() / L"qkz_text.dll").str()));

    EXPECT_EQ(qkztest::failureOf([&] { ImageResolver text(dir.path() / L"qkz_text.dll"); }),
              (qkztest::Failure{2u, L"Not a PE image."}));
}

// "wow64.dll" lies only in the 64-bit system directory. A 32-bit caller sees
// it while an x64 image is resolved (redirection off) and not otherwise, and
// gets its redirection back afterwards; a 64-bit caller always sees it.
TEST(ImageResolver, FileSystemRedirectionFollowsTheImagesMachine)
{
    const bool wow64 = WinAPI::isWow64Process(GetCurrentProcess());
    ASSERT_EQ(sizeof(void*) == 4, wow64);
    WinPath wow64Dll = WinAPI::getSystemDirectory() / L"wow64.dll";
    const std::map<WinPath, std::set<std::wstring>> imports{{WinPath(L"wow64.dll"), {}}};

    ImageResolver x64(binDir() / L"QoSnapshot64.exe");
    x64.setFakeImports(binDir() / L"QoSnapshot64.exe", imports);
    EXPECT_TRUE(x64.resolveReferencesNonRecursive());
    EXPECT_TRUE(x64.getMissingModules().empty());
    EXPECT_TRUE(requires(x64, wow64Dll));
    EXPECT_EQ(!wow64, wow64Dll.exists());

    wchar_t wow64Directory[MAX_PATH] = {};
    ASSERT_NE(0u, GetSystemWow64DirectoryW(wow64Directory, MAX_PATH));
    WinPath x86Image = WinPath(wow64Directory) / L"cmd.exe";
    ImageResolver x86(x86Image);
    x86.setFakeImports(x86Image, imports);
    EXPECT_EQ(!wow64, x86.resolveReferencesNonRecursive());
    EXPECT_EQ(wow64, x86.getMissingModules().count(WinPath(L"wow64.dll")) == 1);
}

// A manifest nested thousands of levels deep is refused before the system's
// parser (which recurses per level) reads it.
TEST(ImageResolver, DeeplyNestedManifestIsRefused)
{
    ImageResolver resolver(resolverDir() / L"qkz_deep_manifest_app.exe");
    EXPECT_EQ(qkztest::failureOf([&] { resolver.resolveReferences(); }),
              (qkztest::Failure{unsigned(ERROR_SXS_CANT_GEN_ACTCTX), L"CreateActCtx failed."}));

    // 256 levels pass and 257 do not; declarations, comments and closed empty elements are no level.
    auto nested = [](int levels, const std::string& inner) {
        std::string open, close;
        for (int i = 0; i < levels; ++i)
            open += "<a>", close += "</a>";
        const std::string text = "<?xml version=\"1.0\"?><!-- a -->" + open + inner + close;
        return std::vector<unsigned char>(text.begin(), text.end());
    };
    EXPECT_FALSE(ZelUt::manifestNestsTooDeep(nested(255, "<b/><c></c><!-- d --><?e?>")));
    EXPECT_TRUE(ZelUt::manifestNestsTooDeep(nested(256, "<b/>")));
}
