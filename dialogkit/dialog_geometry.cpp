#include "dialog_geometry.h"

#include <cstdint>

int MulDiv(int number, int numerator, int denominator) {
    if (denominator == 0) return 0;
    const int64_t product = static_cast<int64_t>(number) * numerator;
    const int64_t half = (denominator > 0 ? denominator : -static_cast<int64_t>(denominator)) / 2;
    const bool negative = (product < 0) != (denominator < 0);
    const int64_t magnitude = (product < 0 ? -product : product) + half;
    const int64_t quotient =
        magnitude / (denominator < 0 ? -static_cast<int64_t>(denominator) : denominator);
    return static_cast<int>(negative ? -quotient : quotient);
}

DialogBaseUnits BaseUnitsFromFont(int alphabetWidth, int fontHeight) {
    return {(alphabetWidth / 26 + 1) / 2, fontHeight};
}

PixelRect MapDialogRect(int x, int y, int cx, int cy, DialogBaseUnits units) {
    const int left = MulDiv(x, units.m_cx, 4);
    const int top = MulDiv(y, units.m_cy, 8);
    const int right = MulDiv(x + cx, units.m_cx, 4);
    const int bottom = MulDiv(y + cy, units.m_cy, 8);
    return {left, top, right - left, bottom - top};
}

PixelPoint IconicIconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
    return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}
