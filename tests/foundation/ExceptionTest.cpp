#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/ZelException.h>

#include <gtest/gtest.h>

namespace {

bool endsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CZelException, ComposesMessageSystemTextAndCode)
{
    CZelException e(5, L"Opening the key failed.");
    EXPECT_EQ(5u, e.getErrorCode());
    EXPECT_EQ(L"Opening the key failed.", e.getMessage());
    std::wstring full = e.getFullText();
    EXPECT_EQ(0u, full.find(L"Opening the key failed. Error message: "));
    EXPECT_TRUE(endsWith(full, L". Error code 0x00000005 (5).")) << e.what();
    EXPECT_EQ(std::wstring::npos, full.find_first_of(L"\r\n"));
    EXPECT_STREQ(std::string(full.begin(), full.end()).c_str(), e.what());

    // A system text that has line breaks (this one does on Windows and Wine) stays on one line.
    std::wstring text = CZelException::getSystemErrorText(ERROR_SHARING_VIOLATION);
    EXPECT_EQ(std::wstring::npos, text.find_first_of(L"\r\n"));
    EXPECT_TRUE(endsWith(text, L" Error code 0x00000020 (32).")) << text;
}

TEST(CZelException, NullMessageUnknownCodeAndHresult)
{
    CZelException none(2, static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(L"", none.getMessage());
    EXPECT_EQ(0u, none.getFullText().find(L" Error message: "));

    EXPECT_EQ(L"No message text available. Error code 0x2badc0de (732807390).",
              CZelException::getSystemErrorText(0x2BADC0DE));
    EXPECT_TRUE(endsWith(CZelException::getSystemErrorText(0x80070005), L"Error code 0x80070005 (2147942405)."));

    std::wostringstream streamed;
    streamed << none;
    EXPECT_EQ(none.getFullText(), streamed.str());
}

TEST(CZelException, NarrowTextUsesThreadCodePageAndCopiesKeepIt)
{
    LCID before = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT)));
    CZelException e(0x2BADC0DE, L"Gr\u00fc\u00dfe \u4e2d");
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT)));
    CZelException copy(e);
    SetThreadLocale(before);
    // 1252: u-umlaut 0xFC, sharp s 0xDF, the CJK character has no mapping.
    EXPECT_EQ(0, std::string(copy.what()).find("Gr\xFC\xDF" "e ? Error message: "));
    EXPECT_STREQ(e.what(), copy.what());
}

TEST(CZelException, ThrownInsideTheLibraryIsCaughtHere)
{
    try {
        WinAPI::openFileReadOnly(WinPath(L"C:\\qkz-no-such-dir\\missing.txt"));
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        const CZelException* z = dynamic_cast<const CZelException*>(&e);
        ASSERT_NE(nullptr, z);
        EXPECT_EQ(static_cast<unsigned long>(ERROR_PATH_NOT_FOUND), z->getErrorCode());
        EXPECT_EQ(L"WinAPI::openFileReadOnly(C:\\qkz-no-such-dir\\missing.txt) failed.", z->getMessage());
    }
}

} // namespace
