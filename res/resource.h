// Numeric ids of the program's resources and of the controls in its dialog
// templates. The numbers are part of the templates' data and of the tests:
// change them only together with dialog_templates.cpp.
#pragma once

// Dialog templates.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_FIRMWAREUPDATE_DIALOG = 102;
inline constexpr int IDD_GETPATH = 134;

// Icons and bitmaps.
inline constexpr int IDR_MAINFRAME = 128;   // 16 x 16, the main window's icon
inline constexpr int IDI_ABOUT = 138;       // 32 x 32, the About box's picture
inline constexpr int IDB_TREEIMAGES = 134;  // strip of 15 images, 17 x 16 each

// Strings.
inline constexpr int IDS_ABOUTBOX = 101;

// Standard command ids of dialog buttons and message-box answers.
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Main dialog (template 102).
inline constexpr int IDC_RELEASE_DIR = 1006;
inline constexpr int IDC_BROWSE = 1007;
inline constexpr int IDC_UPGRADE = 1016;
inline constexpr int IDC_INSTRUMENT = 1028;
inline constexpr int IDC_LOG = 1030;
inline constexpr int IDC_UPGRADE_HOST = 1032;
inline constexpr int IDC_UPGRADE_RECOVERY = 1036;
inline constexpr int IDC_UPGRADE_BOOTROM = 1037;
inline constexpr int IDC_UPGRADE_UBL = 1038;
inline constexpr int IDC_PROGRESS = 1042;

// Picker (template 134).
inline constexpr int IDC_TREE = 1001;
inline constexpr int IDC_PATH_TEXT = 1016;

// The system-menu command of the About item. System commands of our own
// must keep the low four bits clear: the window system uses them.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
