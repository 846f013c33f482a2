// Arithmetic the dialogs need, kept free of any toolkit so it can be tested
// on its own.
#pragma once

// Pixels per 4 horizontal and per 8 vertical dialog units: the dialog font's
// average character width and its height.
struct DialogBaseUnits {
    int m_cx;
    int m_cy;
};

struct PixelRect {
    int m_x;
    int m_y;
    int m_width;
    int m_height;
};

struct PixelPoint {
    int m_x;
    int m_y;
};

// number * numerator / denominator, rounded half away from zero; 0 when the
// denominator is 0. The intermediate product does not overflow.
int MulDiv(int number, int numerator, int denominator);

// Base units from the width of the 52 letters A-Z a-z and the line height:
// the average width is rounded, not truncated, as the window system does.
DialogBaseUnits BaseUnitsFromFont(int alphabetWidth, int fontHeight);

// A rectangle in dialog units to pixels. Edges are converted, not sizes, so
// controls that touch in dialog units still touch in pixels.
PixelRect MapDialogRect(int x, int y, int cx, int cy, DialogBaseUnits units);

// Where a minimised window draws its icon: centred in the client area, the
// odd pixel going right and down, with division truncated toward zero.
PixelPoint IconicIconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight);
