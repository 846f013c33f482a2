#include "dialog_templates.h"

#include "resource.h"

namespace {

// About box.
constexpr DialogItemTemplate kAboutItems[] = {
    {IDC_STATIC, "Static", "138", 11, 11, 20, 20, 0x50000003},
    {IDC_STATIC, "Static", "Version 1.1", 40, 10, 119, 8, 0x50020080},
    {IDC_STATIC, "Static", "For K7140 H-Series sensors", 40, 25, 119, 8, 0x50020000},
    {IDOK, "Button", "OK", 178, 7, 50, 14, 0x50030001},
};

// Main dialog.
constexpr DialogItemTemplate kMainItems[] = {
    {IDC_RELEASE_DIR, "Edit", "", 72, 6, 177, 14, 0x50810080},
    {IDC_BROWSE, "Button", "Browse", 253, 6, 50, 14, 0x50010000},
    {IDC_INSTRUMENT, "ComboBox", "", 72, 24, 177, 58, 0x50210102},
    {IDC_UPGRADE_HOST, "Button", "Host", 14, 59, 34, 10, 0x50010003},
    {IDC_UPGRADE_RECOVERY, "Button", "Host Recovery", 129, 60, 65, 10, 0x50010003},
    {IDC_UPGRADE_BOOTROM, "Button", "Host BootROM", 129, 71, 61, 10, 0x50010003},
    {IDC_UPGRADE_UBL, "Button", "UBL", 129, 82, 77, 10, 0x50010003},
    {IDC_UPGRADE, "Button", "Upgrade", 4, 122, 244, 14, 0x50010000},
    {IDCANCEL, "Button", "Close", 253, 260, 50, 14, 0x50010000},
    {IDC_LOG, "Edit", "", 4, 155, 245, 126, 0x50B008C4},
    {IDC_STATIC, "Static", "Release Directory", 4, 9, 56, 8, 0x50020000},
    {IDC_STATIC, "Static", "Visa Instrument", 12, 26, 52, 8, 0x50020000},
    {IDC_STATIC, "Button", "Select Images to Upgrade", 4, 49, 100, 69, 0x50000007},
    {IDC_PROGRESS, "msctls_progress32", "Progress1", 4, 141, 244, 9, 0x50800000},
    {IDC_STATIC, "Button", "Advanced Options", 119, 49, 129, 69, 0x50000007},
};

// Release directory picker.
constexpr DialogItemTemplate kGetPathItems[] = {
    {IDC_TREE, "SysTreeView32", "Tree1", 7, 16, 169, 146, 0x50811837},
    {IDOK, "Button", "OK", 72, 167, 50, 14, 0x58010001},
    {IDCANCEL, "Button", "Cancel", 126, 167, 50, 14, 0x50010000},
    {IDC_PATH_TEXT, "Static", "<dir>", 8, 4, 169, 10, 0x50020000},
};

constexpr DialogTemplate kTemplates[] = {
    {IDD_ABOUTBOX, 0x80C800C0, 0, 0, 0, 235, 55, "About Firmware Upgrade", "MS Sans Serif", 8, 0,
     false, 0, kAboutItems},
    {IDD_FIRMWAREUPDATE_DIALOG, 0x90C800C0, 0x00040000, 0, 0, 307, 283,
     "K7140 H-Series Firmware Upgrade Utility", "MS Sans Serif", 8, 0, false, 1, kMainItems},
    {IDD_GETPATH, 0x90C800C0, 0, 0, 0, 183, 188, "Select Release Directory", "MS Sans Serif", 8, 0,
     false, 1, kGetPathItems},
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
