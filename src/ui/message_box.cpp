#include "ui/message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

#include <utility>
#include <vector>

namespace mirl {

int32_t MessageBoxModal(const std::string& caption, const std::string& text, int32_t type) {
    if (QApplication::instance() == nullptr) {
        return 0;
    }
    // Qt blocks input to the other windows without touching their enabled state; keep a record
    // anyway so that nothing the box does on the way can leave a window changed.
    std::vector<std::pair<QPointer<QWidget>, bool>> enabledBefore;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible()) {
            enabledBefore.emplace_back(window, window->isEnabled());
        }
    }

    QWidget* owner = QApplication::activeWindow();
    QMessageBox box(owner);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(QString::fromUtf8(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromUtf8(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    box.setIcon(QMessageBox::NoIcon);
    switch (type) {
    case MB_OKCANCEL:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    case MB_YESNO:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    default:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    const int answer = box.exec();

    for (const auto& [window, enabled] : enabledBefore) {
        if (window != nullptr && window->isEnabled() != enabled) {
            window->setEnabled(enabled);
        }
    }
    // The windows get the keyboard back: shortcuts work only in the active window.
    if (owner != nullptr && owner->isVisible()) {
        owner->activateWindow();
    }

    switch (answer) {
    case QMessageBox::Cancel:
        return IDCANCEL;
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    default:
        return IDOK;
    }
}

void ShowMessage(const std::string& text) {
    MessageBoxModal("Mirl Meldung", text, MB_OK);
}

} // namespace mirl
