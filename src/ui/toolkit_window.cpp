#include "ui/toolkit_window.h"

#include "ui/toolkit.h"

#include <QCloseEvent>
#include <QMenuBar>
#include <QResizeEvent>

namespace mirl {

ToolkitWindow::ToolkitWindow(int32_t number, bool sizable, QWidget* owner)
    : QWidget(owner, Qt::Window), number_(number), sizable_(sizable), client_(new QWidget(this)) {
    setAttribute(Qt::WA_DeleteOnClose, false);
}

QMenuBar* ToolkitWindow::AttachMenuBar() {
    delete menuBar_;
    menuBar_ = new QMenuBar(this);
    menuBar_->setNativeMenuBar(false);
    currentMenu_ = nullptr;
    menuBar_->show();
    PlaceChildren();
    return menuBar_;
}

void ToolkitWindow::PlaceChildren() {
    // The menu bar takes its height from the window's inner height, as the gadgets' coordinates
    // are counted from below it.
    const int menuHeight = menuBar_ != nullptr ? menuBar_->sizeHint().height() : 0;
    if (menuBar_ != nullptr) {
        menuBar_->setGeometry(0, 0, width(), menuHeight);
    }
    client_->setGeometry(0, menuHeight, width(), height() - menuHeight);
}

void ToolkitWindow::closeEvent(QCloseEvent* event) {
    if (closeAllowed_) {
        event->accept();
        return;
    }
    event->ignore();
    QueueEvent(EV_CLOSE_WINDOW, number_, number_, 0);
}

void ToolkitWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    PlaceChildren();
    if (isMinimized() || event->size() == knownSize_) {
        return;
    }
    knownSize_ = event->size();
    QueueEvent(EV_SIZE_WINDOW, number_, 0, 0);
}

void ToolkitWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) {
        return;
    }
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    // Coming back from the minimized state counts as a size change; minimizing does not.
    if ((change->oldState() & Qt::WindowMinimized) != 0 && !isMinimized()) {
        knownSize_ = size();
        QueueEvent(EV_SIZE_WINDOW, number_, 0, 0);
    }
}

} // namespace mirl
