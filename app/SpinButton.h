#pragma once
// An up-down control: two arrow buttons, one above the other, that step the number in a buddy edit within a
// range. A control of its own beside its edit, so a dialog's edits and spin buttons stay apart.

#include <QAbstractSlider>

class QLineEdit;

// Owns nothing but its painting; the buddy belongs to the dialog. Not thread-safe: for the user-interface thread.
class CSpinButton final : public QAbstractSlider {
public:
    explicit CSpinButton(QWidget* parent = nullptr);
    ~CSpinButton() override;
    CSpinButton(const CSpinButton&) = delete;
    CSpinButton& operator=(const CSpinButton&) = delete;

    // The edit whose number the arrows step (none: only the control's own value moves).
    void SetBuddy(QLineEdit* buddy) { m_pBuddy = buddy; }
    QLineEdit* Buddy() const { return m_pBuddy; }
    // One step up (+1) or down (-1) from the buddy's number, kept within the range.
    void Step(int delta);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QLineEdit* m_pBuddy = nullptr;
};
