#include "support/toolkit_fixture.h"
#include "ui/message_box.h"

#include <QAbstractButton>
#include <QLabel>

namespace mirl {
namespace {

using test::AnswerNextModalBox;
using test::ToolkitTest;

TEST_F(ToolkitTest, AMessageBoxIsModalAndLeavesEveryWindowAsItWas) {
    auto* main = Native<QWidget>(WindowOpen(1, 0, 0, 200, 205, "Mirl", WF_TITLE_BAR, 0));
    auto* other = Native<QWidget>(WindowOpen(2, 0, 0, 200, 100, "other", WF_TITLE_BAR, 0));
    auto* hidden = Native<QWidget>(WindowOpen(3, 0, 0, 200, 100, "hidden", WF_TITLE_BAR | WF_HIDDEN, 0));
    other->setEnabled(false);

    QString caption;
    QString text;
    bool modal = false;
    bool mainBlocked = false;
    AnswerNextModalBox([&](QWidget* box) {
        caption = box->windowTitle();
        modal = box->windowModality() == Qt::ApplicationModal;
        mainBlocked = QApplication::activeModalWidget() == box && main->isEnabled();
        for (QLabel* label : box->findChildren<QLabel*>()) {
            if (!label->text().isEmpty()) {
                text = label->text();
            }
        }
    });
    ShowMessage("Fehler: Konnte Haupt-Menü nicht öffnen!\r\nZweite Zeile <b>");
    EXPECT_EQ(caption, "Mirl Meldung");
    EXPECT_EQ(text, "Fehler: Konnte Haupt-Menü nicht öffnen!\nZweite Zeile <b>");
    EXPECT_TRUE(modal);
    EXPECT_TRUE(mainBlocked);
    EXPECT_TRUE(main->isEnabled());
    EXPECT_FALSE(other->isEnabled()) << "a window disabled before stays disabled";
    EXPECT_FALSE(hidden->isVisible());
    EXPECT_TRUE(hidden->isEnabled());

    qsizetype buttons = 0;
    AnswerNextModalBox([&](QWidget* box) { buttons = box->findChildren<QAbstractButton*>().size(); });
    MessageBoxModal("c", "t");
    EXPECT_EQ(buttons, 1) << "one OK button";
}

TEST_F(ToolkitTest, EventsRaisedWhileABoxIsOpenWaitInTheQueue) {
    ASSERT_NE(WindowOpen(1, 0, 0, 200, 205, "Mirl", WF_TITLE_BAR, 0), 0);
    DrainEvents();
    AnswerNextModalBox([](QWidget*) { QueueEvent(EV_GADGET, 1, 4, 0); });
    ShowMessage("x");
    EXPECT_EQ(EventPoll(), EV_GADGET);
    EXPECT_EQ(EventObjectNumber(), 4);
}

} // namespace
} // namespace mirl
