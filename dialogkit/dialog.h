// A thin dialog framework over Qt Widgets.
//
// A CDialog is built from a dialog template (res/dialog_templates.h): each
// control becomes a Qt widget that carries its numeric id, in template order,
// so the tab order is the template's. Control notifications reach handlers
// through the dialog's message map; members are bound to controls by
// DoDataExchange. Keys follow the window system's dialog rules: Escape and the
// close box cancel; Enter clicks the focused push button, or else runs the OK
// command (the IDOK button if there is one, otherwise OnOK); F1 sends the help
// command to the application.
//
// For screen readers and keyboard users the layer also ties each text label
// to the field on its right (the field takes the label's text as its
// accessible name), and makes the controls that lie inside a group box that
// box's children, so that they are read as members of the group.
#pragma once

#include <QDialog>
#include <QIcon>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "message_box.h"
#include "window_styles.h"

class QKeySequence;
class QMenu;
class CDialog;
class CComboBox;
struct DialogTemplate;
struct DialogItemTemplate;
struct DialogBaseUnits;

// Control notification codes.
inline constexpr unsigned BN_CLICKED = 0;
inline constexpr unsigned CBN_DROPDOWN = 7;
inline constexpr unsigned EN_CHANGE = 0x0300;
inline constexpr unsigned EN_UPDATE = 0x0400;

// System commands the framework handles itself.
inline constexpr unsigned SC_MOVE = 0xF010;
inline constexpr unsigned SC_CLOSE = 0xF060;

// Menu item flags.
inline constexpr unsigned MF_STRING = 0x0000;
inline constexpr unsigned MF_SEPARATOR = 0x0800;

// The head of a notification that carries data (the tree control's); the
// control's own structure derives from it. The handler may write a result.
struct NotifyHeader {
    QWidget* m_hwndFrom;
    int m_idFrom;
    unsigned m_code;
};
using LRESULT = intptr_t;

// One message-map entry: notification `code` from control `id` runs
// `m_handler`, or `m_notifyHandler` for a notification that carries data.
using DialogHandler = void (CDialog::*)();
using NotifyHandler = void (CDialog::*)(NotifyHeader*, LRESULT*);
struct MessageMapEntry {
    unsigned m_code;
    int m_id;
    DialogHandler m_handler;
    NotifyHandler m_notifyHandler;
};
using MessageMap = std::span<const MessageMapEntry>;

// Builds an entry from a handler of a class derived from CDialog.
template <class T>
constexpr MessageMapEntry OnNotify(unsigned code, int id, void (T::*handler)()) {
    return {code, id, static_cast<DialogHandler>(handler), nullptr};
}
template <class T>
constexpr MessageMapEntry OnNotify(unsigned code, int id,
                                   void (T::*handler)(NotifyHeader*, LRESULT*)) {
    return {code, id, nullptr, static_cast<NotifyHandler>(handler)};
}

// State of one data exchange. Once a check fails, the remaining exchange
// functions of that pass do nothing, so the members after the failing
// control keep their values.
class CDataExchange {
public:
    CDataExchange(CDialog* dialog, bool saveAndValidate)
        : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dialog) {}

    // The control with this id, remembered as the one the next check is
    // about; null when the dialog has no such control.
    QWidget* PrepareCtrl(int id);
    // Ends the exchange: focuses the last prepared control (selecting an edit
    // control's text, so the operator can retype it) and marks the pass failed.
    void Fail();

    bool m_bSaveAndValidate;
    CDialog* m_pDlgWnd;
    QWidget* m_lastControl = nullptr;
    bool m_failed = false;
};

// Text of a control (line edit, multi-line edit, combo box edit field, or a
// button's or static's caption) <-> member. Strings are UTF-8.
void DDX_Text(CDataExchange* pDX, int id, std::string& value);
// After DDX_Text of the same control. Reading back, a text of more than
// `maxChars` characters fails the exchange with a message box that gives the
// limit. Toward the controls, a single-line edit control takes the limit as
// its own: typing stops there, while texts the program sets are kept whole.
void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int maxChars);
// Check box state <-> 1 ticked / 0 not ticked.
void DDX_Check(CDataExchange* pDX, int id, int& value);
// Binds a combo-box member to its control.
void DDX_Control(CDataExchange* pDX, int id, CComboBox& control);

// A menu whose items send system commands to their dialog.
class CMenu {
public:
    explicit CMenu(CDialog* owner);
    ~CMenu();

    bool AppendMenu(unsigned flags, unsigned id = 0, const char* text = nullptr);
    QMenu* GetMenu() const { return m_menu.get(); }

private:
    CDialog* m_owner;
    std::unique_ptr<QMenu> m_menu;
};

class CDialog : public QDialog {
public:
    explicit CDialog(int templateId, QWidget* parent = nullptr);
    ~CDialog() override;

    // Builds the window from the template and runs OnInitDialog; false if
    // the template is missing. Called by DoModal; tests call it to get a
    // dialog without a modal loop. Later calls do nothing.
    bool Create();
    // Shows the dialog modally and returns the value given to EndDialog
    // (IDCANCEL when it was closed otherwise), or -1 if it could not be built.
    // The parent's window is active again afterwards.
    intptr_t DoModal();
    void EndDialog(int result);

    // Runs DoDataExchange toward the controls (false) or back from them
    // (true); false when a check failed.
    bool UpdateData(bool saveAndValidate = true);

    QWidget* GetDlgItem(int id) const;
    // The id a control (or a widget inside it) carries; 0 for none.
    static int GetDlgCtrlID(const QWidget* widget);
    void SetDlgItemText(int id, const std::string& text);
    std::string GetDlgItemText(int id) const;

    int MessageBox(const std::string& text, const std::string& caption = std::string(),
                   unsigned type = MB_OK, const std::string& details = std::string());
    void BeginWaitCursor();
    void EndWaitCursor();
    // Invalidates the whole window and repaints it now, before returning.
    void RedrawWindow();

    // The window's system menu, created with its standard items on first use;
    // `revert` puts it back to those items.
    CMenu* GetSystemMenu(bool revert);
    void ShowSystemMenu(const QPoint& globalPos);
    bool IsIconic() const;
    void SetIcon(const QIcon& icon, bool bigIcon);

    const DialogTemplate* GetTemplate() const { return m_template; }
    // The dialog font's base units, valid after Create.
    int BaseUnitX() const { return m_baseX; }
    int BaseUnitY() const { return m_baseY; }

    // Sends a notification through the message map, as a control would.
    void SendNotify(int id, unsigned code);
    // The same for a notification that carries data; returns the handler's
    // result, 0 when no entry handles it.
    LRESULT SendNotify(NotifyHeader* header);
    // Default processing of a system command; handlers call it for what they
    // do not handle themselves.
    virtual void OnSysCommand(unsigned id, intptr_t lParam);
    // Routes a command that no control sent (the help command of F1) to the
    // application's command map; false when nothing handles it.
    bool SendCommand(unsigned id);

    // What a screen reader calls the control, for controls that have no
    // label of their own.
    void SetControlName(int id, const QString& name);
    // `key` (Alt+letter) works like a mnemonic without an underline in the
    // control's text, which must stay as written: it clicks a push button,
    // focuses and toggles a check box, and focuses any other control. A
    // disabled control ignores it. The key also becomes the control's
    // accessible description ("Alt+B"), so that screen readers announce it.
    void SetControlShortcut(int id, const QKeySequence& key);

protected:
    virtual MessageMap GetMessageMap() const;
    virtual void DoDataExchange(CDataExchange* pDX);
    // Runs the exchange toward the controls; returns true to let the
    // framework focus the first control that takes focus.
    virtual bool OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    // Painting; the default paints nothing beyond the controls.
    virtual void OnPaint();
    // Makes one control of the template. Dialogs override it for classes the
    // framework does not know; the result is placed and given its id.
    virtual QWidget* CreateControl(const DialogItemTemplate& item);

    // Qt's side.
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void accept() override;
    void reject() override;

private:
    void Build();
    // The template's font, which also fixes the dialog units; its base units.
    DialogBaseUnits ApplyTemplateFont(const DialogTemplate& t);
    // Sizes, places and wires one control made from `item`.
    void PlaceControl(const DialogItemTemplate& item, QWidget* control,
                      const DialogBaseUnits& units);
    // Moves each control that lies wholly inside a group box into it.
    void NestInGroupBoxes();
    // Gives each text label the field on its right as its buddy.
    void TieLabelsToFields();
    // The tab order: the tab stops in template order, whatever their parents.
    void ChainTabStops();
    void Connect(QWidget* control, int id);
    void SendOkCommand();

    int m_templateId;
    const DialogTemplate* m_template = nullptr;
    bool m_created = false;
    int m_baseX = 0;
    int m_baseY = 0;
    int m_waitCursors = 0;
    std::unique_ptr<CMenu> m_systemMenu;
    std::vector<std::pair<int, QWidget*>> m_controls;  // template order
};
