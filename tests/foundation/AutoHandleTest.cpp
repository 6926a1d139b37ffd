#include <QoKivZelUt/WinAPI.h>

#include "foundation/StringBuffer.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace {

bool isOpen(HANDLE h)
{
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != FALSE;
}

TEST(AutoHandle, SharedOwnershipClosesOnLastRelease)
{
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, raw);
    {
        WinAPI::FileHandle first(raw);
        EXPECT_EQ(1, first.useCount());
        {
            WinAPI::FileHandle second = first;
            WinAPI::FileHandle third;
            third = second;
            EXPECT_EQ(3, first.useCount());
            third = third;  // self-assignment changes nothing
            EXPECT_EQ(3, third.useCount());
        }
        EXPECT_EQ(1, first.useCount());
        EXPECT_TRUE(isOpen(raw));
        WinAPI::FileHandle moved = std::move(first);
        EXPECT_FALSE(first.valid());
        EXPECT_TRUE(isOpen(raw));
    }
    EXPECT_FALSE(isOpen(raw));
}

TEST(AutoHandle, ReleaseKeepsTheLastErrorAndInvalidValuesHoldNothing)
{
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WinAPI::FileHandle guard(raw);
    SetLastError(0xdeadbeef);
    guard.release();
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    EXPECT_FALSE(isOpen(raw));
    EXPECT_FALSE(guard.valid());
    guard.release();  // twice: nothing happens

    WinAPI::FileHandle none(INVALID_HANDLE_VALUE), null(static_cast<HANDLE>(nullptr));
    EXPECT_FALSE(none.valid());
    EXPECT_FALSE(null.valid());
    WinAPI::FileHandle copy = none;
    EXPECT_EQ(0, copy.useCount());
}

} // namespace

// Calls that truncate report the capacity or one less; either way the text is
// fetched again with a larger buffer, whatever its length.
TEST(FetchString, TruncatedResultsAreFetchedAgain)
{
    for (size_t length : {10u, 258u, 259u, 260u, 261u, 700u}) {
        const std::wstring text(length, L'x');
        for (int truncatedReturn : {0, -1}) {
            auto call = [&](wchar_t* buffer, DWORD capacity) -> DWORD {
                DWORD copied = static_cast<DWORD>(std::min<size_t>(text.size(), capacity - 1));
                std::copy_n(text.begin(), copied, buffer);
                buffer[copied] = L'\0';
                return copied < text.size() ? capacity + truncatedReturn : copied;
            };
            EXPECT_EQ(text, ZelUt::detail::fetchString(call, L"failed")) << length << " " << truncatedReturn;
        }
    }
}
