#include "dialog_geometry.h"

#include <gtest/gtest.h>

namespace {

TEST(DialogGeometry, MulDivRoundsHalfAwayFromZero) {
    EXPECT_EQ(MulDiv(307, 6, 4), 461);  // 460.5
    EXPECT_EQ(MulDiv(5, 3, 4), 4);      // 3.75
    EXPECT_EQ(MulDiv(1, 1, 4), 0);      // 0.25
    EXPECT_EQ(MulDiv(-307, 6, 4), -461);
    EXPECT_EQ(MulDiv(7, 13, 0), 0);
    EXPECT_EQ(MulDiv(2000000000, 3, 4), 1500000000);  // the product exceeds 32 bits
}

TEST(DialogGeometry, BaseUnitsUseTheRoundedAverageWidth) {
    // 52 letters 312 pixels wide: 6 per character.
    EXPECT_EQ(BaseUnitsFromFont(312, 13).m_cx, 6);
    EXPECT_EQ(BaseUnitsFromFont(312, 13).m_cy, 13);
    // 6.5 rounds up, 6.4 down.
    EXPECT_EQ(BaseUnitsFromFont(338, 13).m_cx, 7);
    EXPECT_EQ(BaseUnitsFromFont(333, 13).m_cx, 6);
}

TEST(DialogGeometry, NeighboursInDialogUnitsStayNeighboursInPixels) {
    const DialogBaseUnits units{7, 15};
    // Edit 1006 ends at x = 249, the Browse button starts at 253.
    const PixelRect edit = MapDialogRect(72, 6, 177, 14, units);
    const PixelRect below = MapDialogRect(72, 20, 177, 4, units);
    EXPECT_EQ(edit.m_x, 126);
    EXPECT_EQ(edit.m_y, 11);
    EXPECT_EQ(edit.m_y + edit.m_height, below.m_y);
    const PixelRect left = MapDialogRect(1, 0, 1, 1, units);
    const PixelRect right = MapDialogRect(2, 0, 1, 1, units);
    EXPECT_EQ(left.m_x + left.m_width, right.m_x);
}

TEST(DialogGeometry, MinimisedIconIsCentredWithTheOddPixelRightAndDown) {
    const PixelPoint p = IconicIconOrigin(100, 60, 32, 32);
    EXPECT_EQ(p.m_x, 34);
    EXPECT_EQ(p.m_y, 14);
    const PixelPoint odd = IconicIconOrigin(101, 61, 32, 32);
    EXPECT_EQ(odd.m_x, 35);
    EXPECT_EQ(odd.m_y, 15);
    // A client area smaller than the icon: truncation toward zero.
    const PixelPoint small = IconicIconOrigin(20, 10, 32, 32);
    EXPECT_EQ(small.m_x, -5);
    EXPECT_EQ(small.m_y, -10);
}

}  // namespace
