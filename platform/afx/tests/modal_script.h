// Test helper for modal windows (property sheets, message boxes): runs a
// script on the modal window as soon as the platform has exposed it, from
// inside the window's own event loop, and makes sure the window is gone
// afterwards, so that a test driving a modal window can never hang. Used by
// the afx and settings tests.
#pragma once

#include <functional>

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>

namespace modal_script_detail {

inline void Poll(std::function<void(QWidget*)> script, QPointer<QWidget> before, int tries) {
    QTimer::singleShot(0, [script = std::move(script), before, tries]() mutable {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == before.data()) {
            if (tries > 0) {
                Poll(std::move(script), before, tries - 1);
            } else {
                QTest::qFail("no modal window appeared", __FILE__, __LINE__);
            }
            return;
        }
        QPointer<QWidget> guard(modal);
        // Painting (and so what a script may look at on the screen) starts
        // only once the platform has exposed the window.
        if (!QTest::qWaitForWindowExposed(modal)) QTest::qFail("the modal window was never exposed", __FILE__, __LINE__);
        if (guard.isNull()) return;
        script(modal);
        if (!guard.isNull() && guard->isVisible()) {
            QTest::qFail("the script left the modal window open", __FILE__, __LINE__);
            if (auto* dialog = qobject_cast<QDialog*>(guard.data())) {
                dialog->reject();
            } else {
                guard->close();
            }
        }
    });
}

}  // namespace modal_script_detail

// Arms a zero-delay timer that waits for the next modal window (one other
// than the modal window of the moment) and runs `script` on it. A window the
// script leaves open is rejected and the test fails.
inline void WhenModal(std::function<void(QWidget*)> script) {
    modal_script_detail::Poll(std::move(script), QApplication::activeModalWidget(), 1000);
}
