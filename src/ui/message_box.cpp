#include "ui/message_box.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPointer>

#include <algorithm>
#include <utility>
#include <vector>

namespace mirl {
namespace {

// A window manager draws the title in its own (often larger, bold) font beside its buttons and
// cuts a title that doesn't fit: "M… ng" for "Mirl Meldung" over a box sized to a short text. The
// box is made wide enough for its title in such a font, with room for the buttons of the frame.
void KeepTitleVisible(QMessageBox& box) {
    constexpr int FrameButtonsRoom = 150;
    QFont titleFont = QApplication::font();
    titleFont.setBold(true);
    titleFont.setPixelSize(std::max(titleFont.pixelSize(), 0) * 3 / 2);
    const int width = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + FrameButtonsRoom;
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
}

} // namespace

void MessageBoxModal(const std::string& caption, const std::string& text) {
    if (QApplication::instance() == nullptr) {
        return;
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
    box.setStandardButtons(QMessageBox::Ok);
    KeepTitleVisible(box);
    box.exec();

    for (const auto& [window, enabled] : enabledBefore) {
        if (window != nullptr && window->isEnabled() != enabled) {
            window->setEnabled(enabled);
        }
    }
    // The windows get the keyboard back: shortcuts work only in the active window.
    if (owner != nullptr && owner->isVisible()) {
        owner->activateWindow();
    }
}

void ShowMessage(const std::string& text) {
    MessageBoxModal("Mirl Meldung", text);
}

} // namespace mirl
