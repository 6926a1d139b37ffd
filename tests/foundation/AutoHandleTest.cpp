#include <QoKivZelUt/WinAPI.h>

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
