#include "app/SpinButton.h"

#include <algorithm>

#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>

namespace {
constexpr int kArrowInset = 3;
} // namespace

CSpinButton::CSpinButton(QWidget* parent) : QAbstractSlider(parent) {
    setOrientation(Qt::Vertical);
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

CSpinButton::~CSpinButton() = default;

void CSpinButton::Step(int delta) {
    int current = value();
    if (m_pBuddy != nullptr) {
        bool numeric = false;
        const int typed = m_pBuddy->text().toInt(&numeric);
        if (numeric) {
            current = typed;
        }
    }
    const auto next =
        static_cast<int>(std::clamp<long long>(static_cast<long long>(current) + delta, minimum(), maximum()));
    setValue(next);
    if (m_pBuddy != nullptr) {
        m_pBuddy->setText(QString::number(next));
    }
}

QSize CSpinButton::sizeHint() const {
    // As tall as the edit it sits beside.
    const int width = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    return {width, m_pBuddy != nullptr ? m_pBuddy->sizeHint().height() : 2 * width};
}

void CSpinButton::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const int half = height() / 2;
    const QRect halves[] = {QRect(0, 0, width(), half), QRect(0, half, width(), height() - half)};
    const QStyle::PrimitiveElement arrows[] = {QStyle::PE_IndicatorArrowUp, QStyle::PE_IndicatorArrowDown};
    for (int i = 0; i < 2; ++i) {
        QStyleOptionButton button;
        button.initFrom(this);
        button.rect = halves[i];
        style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &button, &painter, this);
        QStyleOption arrow;
        arrow.initFrom(this);
        arrow.rect = halves[i].adjusted(kArrowInset, kArrowInset, -kArrowInset, -kArrowInset);
        style()->drawPrimitive(arrows[i], &arrow, &painter, this);
    }
}

void CSpinButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractSlider::mousePressEvent(event);
        return;
    }
    Step(event->position().y() < height() / 2.0 ? 1 : -1);
    event->accept();
}
