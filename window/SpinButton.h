#pragma once
// An up-down control: two arrow buttons, one above the other, that step the number in a buddy edit within a
// range. A control of its own beside its edit, so a dialog's edits and spin buttons stay apart (a snapshot of a
// dialog hides the arrows as it hides every button).

#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>

// Owns its two buttons; the buddy belongs to the dialog. Not thread-safe: for the user-interface thread.
class CSpinButton final : public QWidget {
    // So that a dialog's spin buttons are found by their kind (findChildren, qobject_cast).
    Q_OBJECT

public:
    explicit CSpinButton(QWidget* parent = nullptr);
    ~CSpinButton() override;
    CSpinButton(const CSpinButton&) = delete;
    CSpinButton& operator=(const CSpinButton&) = delete;

    // The numbers the arrows stay within (0..100 until set); the value is held inside them.
    void SetRange(int minimum, int maximum);
    int Minimum() const { return m_Minimum; }
    int Maximum() const { return m_Maximum; }
    int Value() const { return m_Value; }
    // The edit whose number the arrows step (none: only the control's own value moves).
    void SetBuddy(QLineEdit* buddy);
    QLineEdit* Buddy() const { return m_pBuddy; }
    // One step up (+1) or down (-1) from the buddy's number (its own value when the buddy holds none), kept
    // within the range; the buddy shows the result.
    void Step(int delta);

    QToolButton& UpButton() { return m_Up; }
    QToolButton& DownButton() { return m_Down; }
    QSize sizeHint() const override;

private:
    QVBoxLayout m_Layout;
    QToolButton m_Up;
    QToolButton m_Down;
    QLineEdit* m_pBuddy = nullptr;
    int m_Minimum = 0;
    int m_Maximum = 100;
    int m_Value = 0;
};
