#include "TestEnv.h"
#include "WineDifferences.h"
#include "foundation/CurrentDirectory.h"

#include <gtest/gtest.h>

using qkztest::TempDir;

namespace {

TEST(WinPathFileSystem, ExistsCreateAndRemoveRecursively)
{
    TempDir dir;
    EXPECT_FALSE(WinPath().exists());
    EXPECT_TRUE(dir.path().exists());
    WinPath deep = dir.path() / L"a\\b\\c";
    EXPECT_FALSE(deep.exists());
    deep.createDirectory();
    EXPECT_TRUE(deep.exists());
    deep.createDirectory();  // existing: nothing happens

    WinPath file = dir.write(L"a\\b\\c\\data.bin", std::string(3000, 'x'));
    WinPath readOnly = dir.write(L"a\\ro.txt", "ro");
    ASSERT_TRUE(SetFileAttributesW(readOnly.str().c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(3000u, file.getFileSize());
    EXPECT_TRUE(file.exists());
    EXPECT_TRUE(file.getLongPath().hasLongPathPrefix());
    EXPECT_TRUE(file.getLongPath().exists());

    (dir.path() / L"a").removeRecursively();
    EXPECT_FALSE((dir.path() / L"a").exists());
    EXPECT_TRUE(dir.path().exists());
    (dir.path() / L"a").removeRecursively();  // already gone: no error
}

TEST(WinPathFileSystem, RefusesToEmptyDisksAndShares)
{
    qkztest::OwnShare share;
    const WinPath kept = share.local() / L"kept.txt";
    WinAPI::writeFile(WinAPI::createFile(kept), "k");
    const std::wstring longShare = L"\\\\?\\UNC\\" + share.unc().str().substr(2);
    for (const std::wstring& root : {std::wstring(L"C:\\"), std::wstring(L"\\\\?\\C:\\"), share.unc().str(), longShare}) {
        EXPECT_EQ(qkztest::failureOf([&] { WinPath(root).removeRecursively(); }),
                  (qkztest::Failure{0xFFFFFFFFul, L"Do Not EMPTY complete Disks"})) << WinAPI::toUtf8(root);
    }
    EXPECT_TRUE(WinPath(L"C:\\windows").exists());
    EXPECT_TRUE(kept.exists());
}

TEST(WinPathFileSystem, RemoveRecursivelyReportsEveryFailureAfterTryingAll)
{
    TempDir dir;
    (dir.path() / L"tree").createDirectory();
    WinPath locked = dir.write(L"tree\\locked.txt", "l");
    dir.write(L"tree\\free.txt", "f");
    WinAPI::FileHandle holder(CreateFileW(locked.str().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_NE(std::wstring::npos,
              qkztest::failureOf([&] { (dir.path() / L"tree").removeRecursively(); }).message.find(L"locked.txt) failed."));
    EXPECT_FALSE((dir.path() / L"tree\\free.txt").exists());
    EXPECT_TRUE(locked.exists());
    holder.release();
}

TEST(WinPathFileSystem, EqualityByFileIdentity)
{
    TempDir dir;
    WinPath file = dir.write(L"same.txt", "1");
    (dir.path() / L"sub").createDirectory();
    WinPath viaDots(dir.path().str() + L"\\sub\\..\\same.txt");
    EXPECT_NE(file.str(), viaDots.str());
    EXPECT_EQ(file, viaDots);
    EXPECT_NE(file, WinPath(dir.path() / L"other.txt"));
    EXPECT_NE(WinPath(L"C:\\qkz-missing-1"), WinPath(L"C:\\qkz-missing-2"));
}

TEST(WinPathFileSystem, VersionResourceAndTimes)
{
    WinPath dll = qkztest::binDir() / L"QoKivZelUt.dll";
    std::vector<unsigned short> v = dll.getFileVersion();
    EXPECT_EQ((std::vector<unsigned short>{1, 0, 0, 7}), v);
    EXPECT_EQ(L"QoKivSetup", dll.getVersionString(L"ProductName"));
    EXPECT_EQ(L"", dll.getVersionString(L"NoSuchValue"));

    TempDir dir;
    WinPath plain = dir.write(L"plain.txt", "no resource");
    EXPECT_EQ(std::vector<unsigned short>(4, 0xFFFF), plain.getFileVersion());
    EXPECT_EQ(L"", plain.getVersionString(L"ProductName"));
    EXPECT_FALSE(plain.getLastWriteTime().isZero());
    EXPECT_EQ(qkztest::failureOf([&] { (dir.path() / L"missing").getFileSize(); }).code, 2u);

    // A relative name reads the file it names from the current directory, as
    // every other question to the path does: not one a library search finds.
    WinAPI::copyFile(qkztest::binDir() / L"resolver" / L"qkz_resolver_dep.dll", dir.path() / L"QoKivZelUt.dll");
    ZelUt::CurrentDirectory there(dir.path());
    EXPECT_EQ((std::vector<unsigned short>{1, 2, 3, 4}), WinPath(L"QoKivZelUt.dll").getFileVersion());
    EXPECT_EQ(L"QoKiv Test", WinPath(L"QoKivZelUt.dll").getVersionString(L"CompanyName"));
}

} // namespace

// Removal takes a link to a directory away itself, never what it points at.
// The link is made outside (links.sh): QKZ_LINK_TREE names a directory with
// kept\\precious.txt and tree\\{own.txt, link -> kept}.
TEST(WinPathFileSystemLinks, RemoveRecursivelyDoesNotFollowLinks)
{
    std::wstring root = WinAPI::getEnvironmentVariable(L"QKZ_LINK_TREE");
    if (root.empty())
        GTEST_SKIP() << "run through the foundation_links test";
    WinPath tree = WinPath(root) / L"tree";
    WinPath keptFile = WinPath(root) / L"kept" / L"precious.txt";
    ASSERT_TRUE((tree / L"link" / L"precious.txt").exists());
    ASSERT_NE(0u, GetFileAttributesW((tree / L"link").str().c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    if (qkztest::deletionFollowsLinks()) {
        EXPECT_THROW(tree.removeRecursively(), CZelException);  // the link cannot go, and nothing behind it
        EXPECT_FALSE((tree / L"own.txt").exists());
    } else {
        tree.removeRecursively();
        EXPECT_FALSE(tree.exists());
    }
    EXPECT_TRUE(keptFile.exists());
}
