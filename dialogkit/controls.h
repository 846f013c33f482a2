// The few common controls whose behaviour Qt's widgets do not give as the
// dialog templates describe it.
#pragma once

#include <QComboBox>
#include <QProgressBar>
#include <functional>
#include <string>

// A drop-down combo box (editable field plus list).
//
// With sorting on, AddString keeps the list in case-insensitive order, so the
// operator sees the entries sorted whatever order they were added in. The
// drop-down callback runs when the list is about to open, before it is
// shown, so it can refill the list.
class CComboBoxControl : public QComboBox {
public:
    CComboBoxControl(bool sorted, QWidget* parent);

    void SetDropDownHandler(std::function<void()> handler);

    // Empties the list and the edit field.
    void ResetContent();
    // Adds an entry (in sorted place when sorting is on); returns its index.
    int AddString(const QString& text);

    void showPopup() override;

private:
    bool m_sorted;
    std::function<void()> m_onDropDown;
};

// A progress bar with the window system's range rules: an empty range (lower
// equal to upper) shows an empty bar, never the "busy" animation that Qt
// shows for 0..0; positions are clamped into the range.
class CProgressControl : public QProgressBar {
public:
    explicit CProgressControl(QWidget* parent);

    void SetRange(int lower, int upper);
    void GetRange(int& lower, int& upper) const;
    // Returns the previous position.
    int SetPos(int pos);
    int GetPos() const;
    int SetStep(int step);
    // Advances by the step, wrapping to the lower bound past the upper one.
    int StepIt();

private:
    void Show();

    int m_lower = 0;
    int m_upper = 100;
    int m_pos = 0;
    int m_step = 10;
};

// The dialog member that stands for a combo-box control once data exchange
// has bound it. Unbound, every operation does nothing and reports nothing.
class CComboBox {
public:
    CComboBoxControl* GetControl() const { return m_control; }
    void Attach(CComboBoxControl* control) { m_control = control; }

    void ResetContent();
    int AddString(const std::string& text);
    int GetCount() const;
    std::string GetLBText(int index) const;

private:
    CComboBoxControl* m_control = nullptr;
};
