// The program's dialog templates as plain data: what the dialogs are made of,
// in dialog units, before any toolkit turns them into windows.
//
// Coordinates and sizes are dialog units: a horizontal unit is a quarter of
// the dialog font's average character width, a vertical unit an eighth of its
// height. Styles are the window system's bits, named in window_styles.h; the
// dialog layer decodes the few it honours.
#pragma once

#include <cstdint>
#include <span>

struct DialogItemTemplate {
    int m_id;                 // control id; -1 for statics that nothing addresses
    const char* m_className;  // "Edit", "Button", "ComboBox", "Static", ...
    const char* m_text;       // initial text; for an SS_ICON static the icon id in decimal
    int m_x;
    int m_y;
    int m_cx;
    int m_cy;
    uint32_t m_style;
};

struct DialogTemplate {
    int m_id;
    uint32_t m_style;
    uint32_t m_exStyle;
    int m_x;
    int m_y;
    int m_cx;
    int m_cy;
    const char* m_caption;
    const char* m_faceName;  // the face the template names; the layer may substitute
    int m_pointSize;
    int m_weight;  // 0 or 400: normal
    bool m_italic;
    int m_charSet;
    std::span<const DialogItemTemplate> m_items;  // template order = tab order
};

// The template with this id, or null.
const DialogTemplate* FindDialogTemplate(int id);

// String-table entry, or null when there is none.
const char* FindResourceString(int id);

// Version of the program's files and of the product.
inline constexpr const char* kFileVersion = "1.0.0.0";
inline constexpr const char* kProductVersion = "1.0.0.0";

// Resource paths (Qt resource system) of the pictures.
inline constexpr const char* kMainIconPath = ":/res/icon_128.png";
inline constexpr const char* kAboutIconPath = ":/res/icon_138.png";
inline constexpr const char* kTreeImagesPath = ":/res/bitmap_134.png";

// The path of icon or bitmap `id` (their ids do not overlap), or null.
const char* FindPicturePath(int id);
