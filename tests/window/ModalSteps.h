#pragma once
// Drives the modal windows a test opens, from inside their own event loops: each step waits until the active
// modal window is of its kind, then acts on it. The action runs from a fresh event, so an action that opens
// another modal window (or a pumping wait) leaves the steps polling.

#include <deque>
#include <functional>
#include <utility>

#include <QApplication>
#include <QPointer>
#include <QTimer>

// Not thread-safe: for the user-interface thread of the test.
class CModalSteps {
public:
    CModalSteps() {
        QObject::connect(&m_Poll, &QTimer::timeout, [this] { Poll(); });
        m_Poll.start(1);
    }
    CModalSteps(const CModalSteps&) = delete;
    CModalSteps& operator=(const CModalSteps&) = delete;

    // Once the active modal window is a |T|: |action| on it.
    template <typename T> void When(std::function<void(T&)> action) {
        m_Steps.push_back([action](QWidget* modal) {
            T* window = dynamic_cast<T*>(modal);
            if (window == nullptr) {
                return false;
            }
            QPointer<T> guarded(window);
            QTimer::singleShot(0, [guarded, action] {
                if (!guarded.isNull()) {
                    action(*guarded);
                }
            });
            return true;
        });
    }
    // Every step has acted.
    bool Done() const { return m_Steps.empty(); }

private:
    void Poll() {
        if (!m_Steps.empty() && m_Steps.front()(QApplication::activeModalWidget())) {
            m_Steps.pop_front();
        }
    }

    QTimer m_Poll;
    std::deque<std::function<bool(QWidget*)>> m_Steps;
};
