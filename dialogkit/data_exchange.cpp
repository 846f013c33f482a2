// Data exchange: moving values between a dialog's members and its controls,
// with the checks that may fail a read-back.
#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>

#include "control_text.h"
#include "controls.h"
#include "dialog.h"

using namespace dialog_detail;

QWidget* CDataExchange::PrepareCtrl(int id) {
    m_lastControl = m_pDlgWnd->GetDlgItem(id);
    return m_lastControl;
}

void CDataExchange::Fail() {
    if (m_lastControl) {
        m_lastControl->setFocus(Qt::OtherFocusReason);
        if (auto* e = qobject_cast<QLineEdit*>(m_lastControl))
            e->selectAll();
        else if (auto* cb = qobject_cast<QComboBox*>(m_lastControl); cb && cb->lineEdit())
            cb->lineEdit()->selectAll();
    }
    m_failed = true;
}

void DDX_Text(CDataExchange* pDX, int id, std::string& value) {
    if (pDX->m_failed) return;
    QWidget* control = pDX->PrepareCtrl(id);
    if (!control) return;
    if (pDX->m_bSaveAndValidate)
        value = ControlText(control).toStdString();
    else
        SetControlText(control, QString::fromStdString(value));
}

void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int maxChars) {
    if (pDX->m_failed) return;
    if (!pDX->m_bSaveAndValidate) {
        // Only a plain edit control stops typing at the limit; other text
        // controls meet it when read back.
        if (auto* edit = qobject_cast<QLineEdit*>(pDX->m_lastControl))
            ApplyTextLimit(edit, maxChars);
        return;
    }
    if (CountChars(value) <= maxChars) return;
    const std::string text =
        "Please enter no more than " + std::to_string(maxChars) + " characters.";
    pDX->m_pDlgWnd->MessageBox(text, QCoreApplication::applicationName().toStdString(),
                               MB_OK | MB_ICONEXCLAMATION);
    pDX->Fail();
}

void DDX_Check(CDataExchange* pDX, int id, int& value) {
    if (pDX->m_failed) return;
    auto* button = qobject_cast<QAbstractButton*>(pDX->PrepareCtrl(id));
    if (!button) return;
    if (pDX->m_bSaveAndValidate)
        value = button->isChecked() ? 1 : 0;
    else
        button->setChecked(value != 0);
}

void DDX_Control(CDataExchange* pDX, int id, CComboBox& control) {
    if (pDX->m_failed) return;
    auto* combo = dynamic_cast<CComboBoxControl*>(pDX->PrepareCtrl(id));
    if (combo && !control.GetControl()) control.Attach(combo);
}
