#include "window/SpinButton.h"

#include <algorithm>

#include <QStyle>

CSpinButton::CSpinButton(QWidget* parent) : QWidget(parent), m_Layout(this) {
    m_Layout.setContentsMargins(0, 0, 0, 0);
    m_Layout.setSpacing(0);
    for (QToolButton* button : {&m_Up, &m_Down}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoRepeat(true);
        button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
        m_Layout.addWidget(button);
    }
    m_Up.setArrowType(Qt::UpArrow);
    m_Down.setArrowType(Qt::DownArrow);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(&m_Up, &QToolButton::clicked, this, [this] { Step(1); });
    connect(&m_Down, &QToolButton::clicked, this, [this] { Step(-1); });
}

// The buttons and the layout are members: each leaves its parent as it is destroyed, before QWidget's own
// destructor looks for children to delete.
CSpinButton::~CSpinButton() = default;

void CSpinButton::SetRange(int minimum, int maximum) {
    m_Minimum = std::min(minimum, maximum);
    m_Maximum = std::max(minimum, maximum);
    m_Value = std::clamp(m_Value, m_Minimum, m_Maximum);
}

void CSpinButton::SetBuddy(QLineEdit* buddy) {
    m_pBuddy = buddy;
    updateGeometry();
}

void CSpinButton::Step(int delta) {
    long long current = m_Value;
    if (m_pBuddy != nullptr) {
        bool numeric = false;
        const int typed = m_pBuddy->text().toInt(&numeric);
        if (numeric) {
            current = typed;
        }
    }
    m_Value = static_cast<int>(std::clamp<long long>(current + delta, m_Minimum, m_Maximum));
    if (m_pBuddy != nullptr) {
        m_pBuddy->setText(QString::number(m_Value));
    }
}

QSize CSpinButton::sizeHint() const {
    // As tall as the edit it sits beside.
    const int width = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    return {width, m_pBuddy != nullptr ? m_pBuddy->sizeHint().height() : 2 * width};
}
