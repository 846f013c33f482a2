// Window, dialog and control style bits with the window system's values, so
// that templates read as a resource script does and the dialog layer decodes
// the same names.
#pragma once

#include <cstdint>

// Window styles.
inline constexpr uint32_t WS_POPUP = 0x80000000;
inline constexpr uint32_t WS_CHILD = 0x40000000;
inline constexpr uint32_t WS_VISIBLE = 0x10000000;
inline constexpr uint32_t WS_DISABLED = 0x08000000;
inline constexpr uint32_t WS_CAPTION = 0x00C00000;
inline constexpr uint32_t WS_BORDER = 0x00800000;
inline constexpr uint32_t WS_VSCROLL = 0x00200000;
inline constexpr uint32_t WS_HSCROLL = 0x00100000;
inline constexpr uint32_t WS_SYSMENU = 0x00080000;
// The same bits mean "group" and "tab stop" on controls and the minimise and
// maximise boxes on top-level windows.
inline constexpr uint32_t WS_GROUP = 0x00020000;
inline constexpr uint32_t WS_MINIMIZEBOX = 0x00020000;
inline constexpr uint32_t WS_TABSTOP = 0x00010000;
inline constexpr uint32_t WS_EX_APPWINDOW = 0x00040000;

// Dialog styles.
inline constexpr uint32_t DS_MODALFRAME = 0x0080;
inline constexpr uint32_t DS_SETFONT = 0x0040;

// Buttons.
inline constexpr uint32_t BS_PUSHBUTTON = 0x0;
inline constexpr uint32_t BS_DEFPUSHBUTTON = 0x1;
inline constexpr uint32_t BS_CHECKBOX = 0x2;
inline constexpr uint32_t BS_AUTOCHECKBOX = 0x3;
inline constexpr uint32_t BS_GROUPBOX = 0x7;
inline constexpr uint32_t BS_TYPEMASK = 0x0000000F;

// Edits.
inline constexpr uint32_t ES_MULTILINE = 0x0004;
inline constexpr uint32_t ES_AUTOVSCROLL = 0x0040;
inline constexpr uint32_t ES_AUTOHSCROLL = 0x0080;
inline constexpr uint32_t ES_READONLY = 0x0800;

// Combo boxes.
inline constexpr uint32_t CBS_DROPDOWN = 0x0002;
inline constexpr uint32_t CBS_SORT = 0x0100;

// Statics.
inline constexpr uint32_t SS_LEFT = 0x0;
inline constexpr uint32_t SS_ICON = 0x3;
inline constexpr uint32_t SS_NOPREFIX = 0x0080;
inline constexpr uint32_t SS_TYPEMASK = 0x0000001F;

// Tree views.
inline constexpr uint32_t TVS_HASBUTTONS = 0x0001;
inline constexpr uint32_t TVS_HASLINES = 0x0002;
inline constexpr uint32_t TVS_LINESATROOT = 0x0004;
inline constexpr uint32_t TVS_DISABLEDRAGDROP = 0x0010;
inline constexpr uint32_t TVS_SHOWSELALWAYS = 0x0020;
inline constexpr uint32_t TVS_INFOTIP = 0x0800;
inline constexpr uint32_t TVS_FULLROWSELECT = 0x1000;
