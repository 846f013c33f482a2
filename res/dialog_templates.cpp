#include "dialog_templates.h"

#include "resource.h"
#include "window_styles.h"

namespace {

// About box.
constexpr DialogItemTemplate kAboutItems[] = {
    {IDC_STATIC, "Static", "138", 11, 11, 20, 20, WS_CHILD | WS_VISIBLE | SS_ICON},
    {IDC_STATIC, "Static", "Version 1.1", 40, 10, 119, 8,
     WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT | SS_NOPREFIX},
    {IDC_STATIC, "Static", "For K7140 H-Series sensors", 40, 25, 119, 8,
     WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT},
    {IDOK, "Button", "OK", 178, 7, 50, 14,
     WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON},
};

// Main dialog.
constexpr DialogItemTemplate kMainItems[] = {
    {IDC_RELEASE_DIR, "Edit", "", 72, 6, 177, 14,
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL},
    {IDC_BROWSE, "Button", "Browse", 253, 6, 50, 14,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_INSTRUMENT, "ComboBox", "", 72, 24, 177, 58,
     WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWN | CBS_SORT},
    {IDC_UPGRADE_HOST, "Button", "Host", 14, 59, 34, 10,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX},
    {IDC_UPGRADE_RECOVERY, "Button", "Host Recovery", 129, 60, 65, 10,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX},
    {IDC_UPGRADE_BOOTROM, "Button", "Host BootROM", 129, 71, 61, 10,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX},
    {IDC_UPGRADE_UBL, "Button", "UBL", 129, 82, 77, 10,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX},
    {IDC_UPGRADE, "Button", "Upgrade", 4, 122, 244, 14,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON},
    {IDCANCEL, "Button", "Close", 253, 260, 50, 14,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_LOG, "Edit", "", 4, 155, 245, 126,
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL |
         ES_AUTOHSCROLL | ES_READONLY},
    {IDC_STATIC, "Static", "Release Directory", 4, 9, 56, 8,
     WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT},
    {IDC_STATIC, "Static", "Visa Instrument", 12, 26, 52, 8,
     WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT},
    {IDC_STATIC, "Button", "Select Images to Upgrade", 4, 49, 100, 69,
     WS_CHILD | WS_VISIBLE | BS_GROUPBOX},
    {IDC_PROGRESS, "msctls_progress32", "Progress1", 4, 141, 244, 9,
     WS_CHILD | WS_VISIBLE | WS_BORDER},
    {IDC_STATIC, "Button", "Advanced Options", 119, 49, 129, 69,
     WS_CHILD | WS_VISIBLE | BS_GROUPBOX},
};

// Release directory picker.
constexpr DialogItemTemplate kGetPathItems[] = {
    {IDC_TREE, "SysTreeView32", "Tree1", 7, 16, 169, 146,
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES |
         TVS_LINESATROOT | TVS_DISABLEDRAGDROP | TVS_SHOWSELALWAYS | TVS_INFOTIP |
         TVS_FULLROWSELECT},
    {IDOK, "Button", "OK", 72, 167, 50, 14,
     WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_TABSTOP | BS_DEFPUSHBUTTON},
    {IDCANCEL, "Button", "Cancel", 126, 167, 50, 14,
     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_PATH_TEXT, "Static", "<dir>", 8, 4, 169, 10, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT},
};

constexpr DialogTemplate kTemplates[] = {
    {IDD_ABOUTBOX, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, 0, 0, 0, 235,
     55, "About Firmware Upgrade", "MS Sans Serif", 8, 0, false, 0, kAboutItems},
    {IDD_FIRMWAREUPDATE_DIALOG,
     WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, WS_EX_APPWINDOW,
     0, 0, 307, 283, "K7140 H-Series Firmware Upgrade Utility", "MS Sans Serif", 8, 0, false, 1,
     kMainItems},
    {IDD_GETPATH, WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, 0,
     0, 0, 183, 188, "Select Release Directory", "MS Sans Serif", 8, 0, false, 1, kGetPathItems},
};

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& t : kTemplates) {
        if (t.m_id == id) return &t;
    }
    return nullptr;
}

const char* FindResourceString(int id) {
    if (id == IDS_ABOUTBOX) return "&About FirmwareUpdate...";
    return nullptr;
}

const char* FindPicturePath(int id) {
    switch (id) {
        case IDR_MAINFRAME:
            return kMainIconPath;
        case IDI_ABOUT:
            return kAboutIconPath;
        case IDB_TREEIMAGES:
            return kTreeImagesPath;
        default:
            return nullptr;
    }
}
