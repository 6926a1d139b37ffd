#include <QoKivZelUt/Guid.h>
#include <QoKivZelUt/ZelException.h>

#include "TestEnv.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <rpc.h>

#include <set>

namespace {

TEST(CGuid, TextRoundTripsInBothForms)
{
    const std::wstring braces = L"{6B29FC40-CA47-1067-B31D-00DD010662DA}";
    CGuid a(L"6b29fc40-ca47-1067-b31d-00dd010662da"), b(braces);
    EXPECT_EQ(a, b);
    EXPECT_EQ(braces, a.toString());
    EXPECT_EQ(braces, CGuid(a.toString()).toString());
    GUID raw = a;
    EXPECT_EQ(0x6B29FC40ul, raw.Data1);
    EXPECT_EQ(0xDAu, raw.Data4[7]);
    ATL::CComBSTR bstr = a.toCComBSTR();
    EXPECT_EQ(braces, std::wstring(bstr.m_str, bstr.Length()));
    EXPECT_EQ(a, CGuid(bstr));

    EXPECT_EQ(CGuid(), CGuid(L""));
    EXPECT_EQ(CGuid(), CGuid(static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(L"{00000000-0000-0000-0000-000000000000}", CGuid().toString());
    EXPECT_TRUE(CGuid::isGuid(L""));
    EXPECT_TRUE(CGuid::isGuid(braces));
}

TEST(CGuid, MalformedTextThrows)
{
    for (const wchar_t* bad : {L"6b29fc40", L"{6b29fc40-ca47-1067-b31d-00dd010662da", L"x6b29fc40-ca47-1067-b31d-00dd010662da",
                               L"{6b29fc40-ca47-1067-b31d-00dd010662dz}", L"not a guid"}) {
        EXPECT_FALSE(CGuid::isGuid(bad));
        EXPECT_EQ(qkztest::failureOf([&] { CGuid g(bad); }).message, L"CGuid::fromString() failed");
    }
    EXPECT_FALSE(CGuid::isGuid(std::wstring(L"6b29fc40-ca47-1067-b31d-00dd010662da\0x", 38)));
}

// The texts read are the system's own parsers' (UuidFromStringW without
// braces, IIDFromString with them), and printing is StringFromGUID2's.
TEST(CGuid, ReadsAndPrintsExactlyAsTheSystemDoes)
{
    const wchar_t* texts[] = {
        L"6b29fc40-ca47-1067-b31d-00dd010662da", L"{6B29FC40-CA47-1067-B31D-00DD010662DA}",
        L"{6b29fc40-ca47-1067-b31d-00dd010662da}", L"6B29FC40-CA47-1067-B31D-00DD010662D", L"6b29fc40-ca47-1067-b31d00dd010662da0",
        L"{6b29fc40-ca47-1067-b31d-00dd010662da", L"6b29fc40-ca47-1067-b31d-00dd010662da}", L" 6b29fc40-ca47-1067-b31d-00dd010662d",
        L"6b29fc4g-ca47-1067-b31d-00dd010662da", L"{6b29fc40+ca47-1067-b31d-00dd010662da}", L"{0x29fc40-ca47-1067-b31d-00dd010662da}",
        L"{6b29fc40-ca47-1067-b31d-00dd010662da}x", L"(6b29fc40-ca47-1067-b31d-00dd010662da)",
    };
    for (const wchar_t* text : texts) {
        GUID system = {};
        bool bare = UuidFromStringW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text)), &system) == RPC_S_OK;
        bool braced = !bare && SUCCEEDED(IIDFromString(text, &system));
        std::string shown(text, text + wcslen(text));
        ASSERT_EQ(bare || braced, CGuid::isGuid(text)) << shown;
        if (!(bare || braced))
            continue;
        wchar_t printed[40];
        ASSERT_GT(StringFromGUID2(system, printed, 40), 0);
        EXPECT_EQ(CGuid(system), CGuid(text)) << shown;
        EXPECT_EQ(std::wstring(printed), CGuid(text).toString()) << shown;
    }
}

TEST(CGuid, OrderingCreationAndSimpleGuids)
{
    CGuid low(L"{00000001-0000-0000-0000-000000000000}"), high(L"{00000002-0000-0000-0000-000000000000}");
    EXPECT_TRUE(low < high);
    EXPECT_FALSE(high < low);
    EXPECT_FALSE(low < low);
    std::set<CGuid> set;
    for (int i = 0; i < 100; ++i)
        set.insert(CGuid::createGuid());
    EXPECT_EQ(100u, set.size());
    GUID fresh = CGuid::createGuid();
    EXPECT_EQ(0x4000, fresh.Data3 & 0xF000);  // random GUIDs are version 4

    EXPECT_EQ(L"{00000001-0000-0000-0000-000000000000}", CGuid::simpleGuidFromInt(1).toString());
    EXPECT_EQ(L"{00000000-0009-0000-0000-000000000000}", CGuid::nextSimpleGuidInSequence(9).toString());
    EXPECT_EQ(L"{00000000-000A-0000-0000-000000000000}", CGuid::nextSimpleGuidInSequence(5).toString());
    EXPECT_EQ(L"{00000000-000B-0000-0000-000000000000}", CGuid::nextSimpleGuidInSequence(5).toString());
    EXPECT_EQ(L"{00000000-FFFF-0000-0000-000000000000}", CGuid::nextSimpleGuidInSequence(0xFFFF).toString());
    EXPECT_EQ(L"{00000000-0003-0000-0000-000000000000}", CGuid::nextSimpleGuidInSequence(3).toString());
    EXPECT_NE(CGuid::simpleGuidFromInt(1), CGuid::nextSimpleGuidInSequence(1));
}

} // namespace
