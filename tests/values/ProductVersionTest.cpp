#include <QoKivZelUt/ProductVersion.h>

#include "values/VersionText.h"

#include <gtest/gtest.h>

#include <sstream>
#include <typeinfo>

using KivSetup::ProductVersion;

namespace {

std::wstring printed(const ProductVersion& v)
{
    std::wostringstream out;
    out << v;
    return out.str();
}

WinAPI::FileTime utc(WORD year, WORD month, WORD day, WORD h, WORD m, WORD s, WORD ms)
{
    SYSTEMTIME st = {year, month, 0, day, h, m, s, ms};
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return WinAPI::FileTime(ft);
}

TEST(ProductVersion, ParsingAndPrinting)
{
    EXPECT_EQ(L"5", ProductVersion(5).toString());
    EXPECT_EQ(ProductVersion(0, 5), ProductVersion(5));
    EXPECT_EQ(L"7.0", ProductVersion(7, 0).toString());
    const struct {
        const wchar_t* text;
        unsigned long major, minor;
    } parsed[] = {{L"7.40", 7, 40}, {L"Release 750 SP1", 0, 750}, {L"2.x", 0, 2},       {L"v12", 0, 12},
                  {L"1..2", 0, 1},  {L"x3.4.5", 3, 4},             {L"a.5.", 0, 5},     {L"99999999999.3", 4294967295ul, 3}};
    for (const auto& p : parsed)
        EXPECT_EQ(ProductVersion(p.major, p.minor), ProductVersion(p.text)) << p.text;
    EXPECT_THROW(ProductVersion(L"abc"), std::bad_cast);
    EXPECT_THROW(ProductVersion(L""), std::bad_cast);
    // runs of any length: linear, no recursion
    const std::wstring many(1000000, L'9');
    EXPECT_EQ(ProductVersion(4294967295ul, 1), ProductVersion(many + L".1"));
    EXPECT_EQ(ProductVersion(2, 4294967295ul), ProductVersion(std::wstring(100000, L' ') + L"2." + many));
    EXPECT_THROW(ProductVersion(std::wstring(1000000, L'.')), std::bad_cast);
    ATL::CComBSTR bstr = ProductVersion(7, 40).toCComBSTR();
    EXPECT_EQ(L"7.40", std::wstring(bstr.m_str, bstr.Length()));

    ProductVersion built(7, 40);
    built.setBuildTime(utc(2020, 3, 2, 9, 5, 7, 8));
    EXPECT_EQ(L"7.40 (02.03.2020 09:05:07.0008)", printed(built));
    EXPECT_EQ(L"7.40", built.toString());
    std::ostringstream narrow;
    narrow << built;
    EXPECT_EQ("7.40 (02.03.2020 09:05:07.0008)", narrow.str());
}

TEST(ProductVersion, OrderingTruthAndStoredForm)
{
    ProductVersion plain(7, 40), built(7, 40);
    built.setBuildTime(WinAPI::FileTime(0x0000000100000000ull));
    EXPECT_TRUE(plain < built);
    EXPECT_TRUE(built < ProductVersion(7, 41));
    EXPECT_TRUE(built > plain && built >= plain && plain <= built && plain != built);
    ProductVersion lowWord(7, 40);
    lowWord.setBuildTime(WinAPI::FileTime(0xFFFFFFFFull));
    EXPECT_TRUE(lowWord < built);  // the high word decides first
    EXPECT_TRUE(ProductVersion(1, 999) < ProductVersion(2, 0));

    EXPECT_FALSE(static_cast<bool>(ProductVersion()));
    ProductVersion onlyTime;
    onlyTime.setBuildTime(WinAPI::FileTime(1ull));
    EXPECT_TRUE(static_cast<bool>(onlyTime));

    _ProductVersionStruct stored = built;
    EXPECT_EQ((std::vector<unsigned long>{7, 40, 0, 1}),
              (std::vector<unsigned long>{stored.major, stored.minor, stored.buildTimeLow, stored.buildTimeHigh}));
    ProductVersion back;
    back = stored;
    EXPECT_EQ(built, back);
}

// Parts are read until the first that is empty, not all digits or too large.
TEST(FileVersionText, PartsUpToTheFirstBadOne)
{
    const uint16_t none = 0xFFFF;
    const struct {
        const char* text;
        uint16_t parts[4];
    } rows[] = {{"1.2.3.4", {1, 2, 3, 4}}, {"7", {7, none, none, none}},   {"1..2.3", {1, none, none, none}},
                {"1.2a.3.4", {1, none, none, none}}, {"1.65536.3", {1, none, none, none}}, {"", {none, none, none, none}},
                {"0.65535.9", {0, 65535, 9, none}}};
    for (const auto& row : rows) {
        ZelUt::FileVersionValue version = ZelUt::fileVersionFromText(row.text);
        EXPECT_TRUE(std::equal(row.parts, row.parts + 4, version.parts)) << row.text;
    }
}

// Every part decides when the ones before it are equal, and nothing past the
// fourth is read: the versions lie in arrays beside ones that differ.
TEST(FileVersionText, ComparedPartByPart)
{
    using ZelUt::FileVersionValue;
    const FileVersionValue unset;
    const struct {
        FileVersionValue left, right;
        int order;
    } rows[] = {{{{1, 0, 0, 0}}, {{2, 0, 0, 0}}, -1}, {{{1, 2, 0, 0}}, {{1, 1, 9, 9}}, 1},
                {{{1, 2, 3, 0}}, {{1, 2, 4, 0}}, -1}, {{{1, 2, 3, 5}}, {{1, 2, 3, 4}}, 1},
                {{{4, 3, 2, 1}}, {{4, 3, 2, 1}}, 0},  {{{0, 0, 0, 0}}, unset, 1},
                {unset, {{0, 0, 0, 0}}, -1},         {{{1, 2, 3, 0xFFFF}}, unset, 0}};
    for (const auto& row : rows) {
        const FileVersionValue lefts[2] = {row.left, {{1, 1, 1, 1}}};
        const FileVersionValue rights[2] = {row.right, {{2, 2, 2, 2}}};
        EXPECT_EQ(row.order, lefts[0].compare(rights[0])) << row.left.parts[0] << "." << row.left.parts[1];
        EXPECT_EQ(-row.order, rights[0].compare(lefts[0])) << row.left.parts[0] << "." << row.left.parts[1];
    }
}

} // namespace
