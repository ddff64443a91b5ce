#pragma once

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace mirl::test {

// Answers the next application-modal box with its default button once it shows, after handing it
// to `onShown`. Call it before the box opens: the box's own loop runs the timer.
inline void AnswerNextModalBox(std::function<void(QWidget*)> onShown = {}) {
    QTimer::singleShot(50, [onShown] {
        QWidget* box = QApplication::activeModalWidget();
        if (box == nullptr) {
            AnswerNextModalBox(onShown);
            return;
        }
        if (onShown) {
            onShown(box);
        }
        QTest::keyClick(box, Qt::Key_Return);
    });
}

} // namespace mirl::test
