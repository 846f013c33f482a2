#include "controls.h"

#include <algorithm>
#include <utility>

CComboBoxControl::CComboBoxControl(bool sorted, QWidget* parent)
    : QComboBox(parent), m_sorted(sorted) {
    setEditable(true);
    // The edit field is the operator's own text: no completion from the list,
    // and Enter must not copy it into the list.
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);
}

void CComboBoxControl::SetDropDownHandler(std::function<void()> handler) {
    m_onDropDown = std::move(handler);
}

void CComboBoxControl::ResetContent() {
    clear();
    clearEditText();
}

int CComboBoxControl::AddString(const QString& text) {
    // Keep what the operator typed: inserting into an empty list would
    // otherwise make the new entry the edit text.
    const QString edit = currentText();
    int index = count();
    if (m_sorted) {
        int low = 0;
        int high = count();
        while (low < high) {
            const int mid = (low + high) / 2;
            if (QString::compare(itemText(mid), text, Qt::CaseInsensitive) <= 0)
                low = mid + 1;
            else
                high = mid;
        }
        index = low;
    }
    insertItem(index, text);
    setCurrentIndex(-1);
    setEditText(edit);
    return index;
}

void CComboBoxControl::showPopup() {
    if (m_onDropDown) m_onDropDown();
    QComboBox::showPopup();
}

CProgressControl::CProgressControl(QWidget* parent) : QProgressBar(parent) {
    setTextVisible(false);
    Show();
}

void CProgressControl::SetRange(int lower, int upper) {
    m_lower = lower;
    m_upper = upper;
    m_pos = std::clamp(m_pos, std::min(lower, upper), std::max(lower, upper));
    Show();
}

void CProgressControl::GetRange(int& lower, int& upper) const {
    lower = m_lower;
    upper = m_upper;
}

int CProgressControl::SetPos(int pos) {
    const int previous = m_pos;
    m_pos = std::clamp(pos, std::min(m_lower, m_upper), std::max(m_lower, m_upper));
    Show();
    return previous;
}

int CProgressControl::GetPos() const {
    return m_pos;
}

int CProgressControl::SetStep(int step) {
    return std::exchange(m_step, step);
}

int CProgressControl::StepIt() {
    const int previous = m_pos;
    if (m_upper > m_lower) {
        m_pos += m_step;
        if (m_pos > m_upper) m_pos = (m_pos - m_lower) % (m_upper - m_lower) + m_lower;
        Show();
    }
    return previous;
}

void CProgressControl::Show() {
    if (m_upper > m_lower) {
        setRange(m_lower, m_upper);
        setValue(m_pos);
    } else {
        // 0..0 would be Qt's busy indicator; an empty range is an empty bar.
        setRange(0, 1);
        setValue(0);
    }
}

void CComboBox::ResetContent() {
    if (m_control) m_control->ResetContent();
}

int CComboBox::AddString(const std::string& text) {
    return m_control ? m_control->AddString(QString::fromStdString(text)) : -1;
}

int CComboBox::GetCount() const {
    return m_control ? m_control->count() : 0;
}

std::string CComboBox::GetLBText(int index) const {
    return m_control ? m_control->itemText(index).toStdString() : std::string();
}
