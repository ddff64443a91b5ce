#include "common/ids.h"
#include "shell/dialogs.h"
#include "shell/main_menu.h"
#include "support/toolkit_fixture.h"

#include <QAccessible>
#include <QComboBox>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>

namespace mirl {
namespace {

using test::ToolkitTest;

class MainWindowTest : public ToolkitTest {
protected:
    void SetUp() override { InitLayout(); }
};

TEST_F(MainWindowTest, OpensWithItsFourGadgetsAndTheMenu) {
    auto* window = Native<QWidget>(OpenMainWindow());
    ASSERT_NE(window, nullptr);
    CreateMainMenu();
    EXPECT_EQ(window->windowTitle(), "Mirl");
    EXPECT_FALSE(window->windowIcon().isNull()) << "the window carries the program's icon";
    EXPECT_EQ(WindowInnerWidth(Wnd1), 200);
    EXPECT_EQ(WindowInnerHeight(Wnd1), 205);
    EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "the main window is not resizable";
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);

    auto* instruction = Native<QPlainTextEdit>(GadgetHandle(Wnd1StrGdgAnw));
    auto* selector = Native<QComboBox>(GadgetHandle(Wnd1ExploComboGdg));
    auto* button = Native<QPushButton>(GadgetHandle(Wnd1BtnGdgGo));
    auto* status = Native<QPlainTextEdit>(GadgetHandle(Wnd1StrGdgInfo));
    ASSERT_TRUE(instruction && selector && button && status);
    EXPECT_EQ(instruction->geometry(), QRect(5, 5, 190, 35));
    EXPECT_EQ(selector->geometry(), QRect(5, 45, 190, 20));
    EXPECT_EQ(button->geometry(), QRect(5, 70, 60, 20));
    EXPECT_EQ(status->geometry(), QRect(5, 95, 190, 85));
    EXPECT_EQ(GadgetGetText(Wnd1StrGdgAnw), "Laufwerk wählen (vorher initialisieren\r\noder Daten löschen)");
    EXPECT_EQ(GadgetGetText(Wnd1ExploComboGdg), "");
    EXPECT_EQ(GadgetGetText(Wnd1BtnGdgGo), "Start");
    EXPECT_EQ(GadgetGetText(Wnd1StrGdgInfo), "");
    EXPECT_TRUE(instruction->isReadOnly());
    EXPECT_TRUE(status->isReadOnly());

    // The gadgets end at 180, inside what the menu bar leaves of the 205.
    const auto* bar = window->findChild<QMenuBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_LE(180 + bar->height(), 205);
    ASSERT_EQ(bar->actions().size(), 2);
    EXPECT_EQ(bar->actions()[0]->text(), "&Laufwerk");
    ASSERT_EQ(bar->actions()[0]->menu()->actions().size(), 3);
    EXPECT_EQ(bar->actions()[0]->menu()->actions()[0]->text(), "Fülldateien &löschen");
    // Reading back every byte is a choice for this program start only.
    const QAction* readBackAll = bar->actions()[0]->menu()->actions()[1];
    EXPECT_EQ(readBackAll->text(), "&Alles nachlesen");
    EXPECT_TRUE(readBackAll->isCheckable());
    EXPECT_FALSE(readBackAll->isChecked());
    // Until a run has left a report there is none to open.
    const QAction* openReport = bar->actions()[0]->menu()->actions()[2];
    EXPECT_EQ(openReport->text(), "Letzten &Bericht öffnen");
    EXPECT_FALSE(openReport->isEnabled());
    EXPECT_EQ(bar->actions()[1]->text(), "&Hilfe");
    const QList<QAction*> items = bar->actions()[1]->menu()->actions();
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0]->text(), "&Info");
    DrainEvents();
    items[0]->trigger();
    EXPECT_EQ(TakeEvents(), (std::vector<Taken>{{EV_MENU, Wnd1, MenuItemInfo, 0}}));

    // The status field is read-only for the user, not for the program.
    GadgetSetText(Wnd1StrGdgInfo, "Laufwerk: /\r\n");
    EXPECT_EQ(GadgetGetText(Wnd1StrGdgInfo), "Laufwerk: /\r\n");
    QTest::keyClicks(status, "typed");
    EXPECT_EQ(GadgetGetText(Wnd1StrGdgInfo), "Laufwerk: /\r\n");
}

TEST_F(MainWindowTest, KeyboardAndScreenReaderFindTheirWay) {
    auto* window = Native<QWidget>(OpenMainWindow());
    ASSERT_NE(window, nullptr);
    auto* selector = Native<QWidget>(GadgetHandle(Wnd1ExploComboGdg));
    auto* button = Native<QWidget>(GadgetHandle(Wnd1BtnGdgGo));
    // The Tab key goes from the selector to the button and back: the two fields only to be read
    // are no stops, so the first focus lands on the selector.
    std::vector<QWidget*> stops;
    for (QWidget* at = window->nextInFocusChain(); at != window; at = at->nextInFocusChain()) {
        if ((at->focusPolicy() & Qt::TabFocus) != 0 && at->isEnabled()) {
            stops.push_back(at);
        }
    }
    EXPECT_EQ(stops, (std::vector<QWidget*>{selector, button}));

    const auto said = [](intptr_t handle, QAccessible::Text what) {
        QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(Native<QWidget>(handle));
        return reader != nullptr ? reader->text(what).toStdString() : std::string("(none)");
    };
    EXPECT_EQ(said(GadgetHandle(Wnd1ExploComboGdg), QAccessible::Name), "Laufwerk");
    EXPECT_EQ(said(GadgetHandle(Wnd1ExploComboGdg), QAccessible::Description),
              "Laufwerk wählen (vorher initialisieren oder Daten löschen)");
    EXPECT_EQ(said(GadgetHandle(Wnd1StrGdgInfo), QAccessible::Name), "Status");
    EXPECT_EQ(said(GadgetHandle(Wnd1BtnGdgGo), QAccessible::Name), "Start");
    EXPECT_NE(said(GadgetHandle(Wnd1BtnGdgGo), QAccessible::Description), "");
}

TEST_F(MainWindowTest, TheInfoWindowOpensHiddenOverTheMainWindow) {
    ASSERT_NE(OpenMainWindow(), 0);
    auto* info = Native<QWidget>(OpenInfoWindow());
    ASSERT_NE(info, nullptr);
    EXPECT_FALSE(info->isVisible());
    EXPECT_EQ(info->parentWidget(), Native<QWidget>(WindowHandle(Wnd1))) << "owned by the main window";
    EXPECT_EQ(info->windowTitle(), "Info");
    EXPECT_EQ(WindowInnerWidth(WndChldInfo), 500);
    EXPECT_EQ(WindowInnerHeight(WndChldInfo), 400);
    EXPECT_EQ(info->minimumSize(), QSize(300, 200));
    EXPECT_EQ(info->maximumSize(), QSize(1000, 1000));
    const QPoint mainCentre = Native<QWidget>(WindowHandle(Wnd1))->frameGeometry().center();
    const QPoint infoCentre = QRect(WindowX(WndChldInfo), WindowY(WndChldInfo), 500, 400).center();
    EXPECT_LE((mainCentre - infoCentre).manhattanLength(), 40);
    EXPECT_EQ(GadgetGetText(WndChldInfoBtnGdgOK), "OK");
    EXPECT_TRUE(Native<QPlainTextEdit>(GadgetHandle(WndChldInfoEditGdg))->isReadOnly());
}

} // namespace
} // namespace mirl
