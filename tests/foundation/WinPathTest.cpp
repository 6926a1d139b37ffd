// The text side of WinPath: no file-system access involved.
#include <QoKivZelUt/WinPath.h>

#include "TestEnv.h"
#include "foundation/FileNames.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::string n(const std::wstring& w)
{
    return std::string(w.begin(), w.end());
}

// Every row of paths.txt: the normalised text and, where given, the form.
TEST(WinPath, NormalisationAndFormTable)
{
    std::vector<std::vector<std::wstring>> rows = qkztest::tableRows(L"foundation\\paths.txt");
    ASSERT_GE(rows.size(), 16u);
    for (const auto& row : rows) {
        WinPath p(row[0]);
        SCOPED_TRACE(n(row[0]));
        EXPECT_EQ(row[1], p.str());
        if (row.size() < 4)
            continue;
        const bool form[] = {p.hasLongPathPrefix(), p.isUNC(), p.isDriveRoot(), p.isAbsolute(), p.isRoot()};
        for (size_t i = 0; i < 5; ++i)
            EXPECT_EQ(row[2][i] == L'1', form[i]) << i;
        EXPECT_EQ(std::stoul(row[3]), p.getPrefixLength());
    }
    EXPECT_EQ(L"", WinPath(static_cast<const wchar_t*>(nullptr)).str());
}

TEST(WinPath, LongPathsGetThePrefixOnlyWhenAbsolute)
{
    std::wstring name(270, L'a');
    EXPECT_EQ(L"\\\\?\\C:\\" + name, WinPath(L"C:\\" + name).str());
    EXPECT_EQ(L"\\\\?\\unc\\srv\\" + name, WinPath(L"\\\\srv\\" + name).str());
    std::wstring relative(300, L'r');
    EXPECT_EQ(relative, WinPath(relative).str());
    std::wstring exact = L"C:\\" + std::wstring(257, L'x');  // 260 characters: unchanged
    EXPECT_EQ(exact, WinPath(exact).str());
    std::wstring over = exact + L"y";  // 261
    EXPECT_EQ(L"\\\\?\\" + over, WinPath(over).str());
}

TEST(WinPath, Executables)
{
    EXPECT_TRUE(WinPath(L"setup.EXE").isExecutable());
    EXPECT_TRUE(WinPath(L"C:\\x\\run.Cmd").isExecutable());
    EXPECT_FALSE(WinPath(L"C:\\x\\readme.txt").isExecutable());
    EXPECT_FALSE(WinPath(L"C:\\dir.exe\\file").isExecutable());
}

TEST(WinPath, Parts)
{
    WinPath p(L"C:\\dir.x\\file");
    EXPECT_EQ(L"file", p.getFileName().str());
    EXPECT_EQ(L"C:\\dir.x", p.getParent().str());
    EXPECT_EQ(L"x\\file", p.getExtension());
    EXPECT_EQ(L"C:\\", WinPath(L"C:\\dir").getParent().str());
    EXPECT_EQ(L"", WinPath(L"C:\\").getFileName().str());
    EXPECT_EQ(L"C:\\", WinPath(L"C:\\").getParent().str());
    EXPECT_EQ(L"name", WinPath(L"name").getFileName().str());
    EXPECT_EQ(L"", WinPath(L"name").getParent().str());
    WinPath empty;
    EXPECT_TRUE(empty.getFileName().empty() && empty.getParent().empty() && empty.getExtension().empty());

    WinPath share(L"\\\\server\\share\\");
    EXPECT_EQ(share, share.getParent());
    EXPECT_EQ(L"server", WinPath(L"\\\\server\\share\\a\\b").getServerName().str());
    EXPECT_EQ(L"share", WinPath(L"\\\\server\\share\\a\\b").getShareName().str());
    EXPECT_EQ(L"a\\b", WinPath(L"\\\\server\\share\\a\\b").getPathOnShare().str());
    EXPECT_EQ(L"", WinPath(L"\\\\server\\share").getPathOnShare().str());
    EXPECT_EQ(L"C:\\a", WinPath(L"C:\\a").getPathOnShare().str());
    EXPECT_EQ(L"", WinPath(L"C:\\a").getServerName().str());

    std::vector<WinPath> subs = WinPath(L"C:\\a\\b").getSubPaths();
    ASSERT_EQ(3u, subs.size());
    EXPECT_EQ(L"C:\\", subs[0].str());
    EXPECT_EQ(L"C:\\a", subs[1].str());
    EXPECT_EQ(L"C:\\a\\b", subs[2].str());
    ASSERT_EQ(1u, WinPath().getSubPaths().size());
    std::vector<WinPath> uncSubs = WinPath(L"\\\\?\\unc\\srv\\sh\\d").getSubPaths();
    ASSERT_EQ(3u, uncSubs.size());
    EXPECT_EQ(L"\\\\?\\unc\\srv", uncSubs[0].str());
    EXPECT_EQ((std::vector<std::wstring>{L"C:", L"a", L"b"}), WinPath(L"C:\\a\\b").getComponents());
    EXPECT_EQ((std::vector<std::wstring>{L"srv", L"sh"}), WinPath(L"\\\\?\\unc\\srv\\sh").getComponents());
}

TEST(WinPath, JoinContainsRelative)
{
    EXPECT_EQ(L"name", (WinPath() / L"name").str());
    EXPECT_EQ(L"C:\\a\\b", (WinPath(L"C:\\a") / L"\\b\\").str());
    EXPECT_EQ(L"C:\\x", (WinPath(L"C:\\") / L"x").str());
    WinPath base(L"C:\\Program Files\\KIV");
    EXPECT_TRUE(base.contains(WinPath(L"c:\\program files\\kiv\\bin\\a.dll")));
    EXPECT_TRUE(base.contains(base));
    EXPECT_FALSE(base.contains(WinPath(L"C:\\Program Files\\KIVX\\a.dll")));
    EXPECT_EQ(L"bin\\a.dll", base.getRelativePath(WinPath(L"C:\\Program Files\\KIV\\bin\\a.dll")).str());
    EXPECT_EQ(L"Windows\\x", WinPath(L"C:\\").getRelativePath(WinPath(L"C:\\Windows\\x")).str());
    EXPECT_EQ(L"", base.getRelativePath(base).str());
    EXPECT_EQ(L"", base.getRelativePath(WinPath(L"D:\\other")).str());
    EXPECT_EQ(L"D:\\other", WinPath().getRelativePath(WinPath(L"D:\\other")).str());
}

TEST(WinPath, QuotingInvalidCharactersAndOrder)
{
    EXPECT_EQ(L"C:\\a\\b.exe", WinPath(L"C:\\a\\b.exe").getQuoted());
    EXPECT_EQ(L"\"C:\\Program Files\\b.exe\"", WinPath(L"C:\\Program Files\\b.exe").getQuoted());
    EXPECT_EQ(L"\"C:\\x y\"", WinPath(L"\"C:\\x y\"").getQuoted());
    EXPECT_EQ(L"C:\\a#b#c#d#e#f#g#", WinPath(L"C:\\a<b>c\"d|e:f*g?").replaceInvalidCharacters());
    EXPECT_EQ(L"\\\\?\\C:\\x#y", WinPath(L"\\\\?\\C:\\x:y").replaceInvalidCharacters());
    EXPECT_EQ(L"\\\\?\\unc\\s\\x#", WinPath(L"\\\\?\\unc\\s\\x?").replaceInvalidCharacters());
    EXPECT_EQ(L"#rel", WinPath(L":rel").replaceInvalidCharacters());

    WinPath upper(L"C:\\A\\B"), lower(L"c:\\a\\b");
    EXPECT_EQ(upper, lower);
    EXPECT_FALSE(upper < lower);
    EXPECT_FALSE(lower < upper);
    EXPECT_TRUE(WinPath(L"C:\\a") < WinPath(L"C:\\a\\b"));
    std::set<WinPath> set = {WinPath(L"C:\\Z"), WinPath(L"c:\\z"), WinPath(L"C:\\b")};
    EXPECT_EQ(2u, set.size());
}

} // namespace

// Device names, whatever follows a dot or trails in blanks, with the digits
// (superscripts too) the system takes after COM and LPT.
TEST(FileNames, DeviceNamesAndPlainNames)
{
    for (const wchar_t* device : {L"CON", L"nul.txt", L"Com1.log", L"LPT9", L"COM\u00b9", L"lpt\u00b2.x", L"COM\u00b3",
                                  L"AUX .txt"})
        EXPECT_STREQ(L"a part of the name is a device name.", ZelUt::fileNamePartProblem(device)) << device;
    for (const wchar_t* plain : {L"COM0", L"COM10", L"COM\u00b4", L"CONSOLE", L"LPT", L"file.txt"})
        EXPECT_EQ(nullptr, ZelUt::fileNamePartProblem(plain)) << plain;
}
