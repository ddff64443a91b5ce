#include "support/toolkit_fixture.h"

#include <QKeyEvent>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>

namespace mirl {
namespace {

using test::ToolkitTest;
using Taken = ToolkitTest::Taken;

constexpr int32_t PlainFlags = WF_TITLE_BAR | WF_SYSTEM_MENU;

TEST_F(ToolkitTest, AButtonClickGivesExactlyOneGadgetEvent) {
    ASSERT_NE(WindowOpen(1, 0, 0, 200, 100, "w", PlainFlags, 0), 0);
    auto* button = Native<QPushButton>(GadgetButton(4, 5, 5, 60, 20, "Start", 0));
    ASSERT_NE(button, nullptr);
    DrainEvents();

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(TakeEvents(), (std::vector<Taken>{{EV_GADGET, 1, 4, 0}}));
    // Nothing pending: 0 at once, kind -1, the other fields kept.
    EXPECT_EQ(EventPoll(), 0);
    EXPECT_EQ(EventKind(), -1);
    EXPECT_EQ(EventObjectNumber(), 4);
    EXPECT_EQ(EventWindowNumber(), 1);

    GadgetDisable(4, 1);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_TRUE(TakeEvents().empty()) << "a disabled button takes no clicks";
    GadgetDisable(4, 0);
    GadgetSetText(4, "Stopp");
    EXPECT_EQ(GadgetGetText(4), "Stopp");
}

TEST_F(ToolkitTest, TheQueueKeepsOrderAndDropsImmediateDuplicates) {
    QueueEvent(EV_SIZE_WINDOW, 6, 0, 0);
    QueueEvent(EV_SIZE_WINDOW, 6, 0, 0);
    QueueEvent(EV_GADGET, 1, 4, 0);
    QueueEvent(EV_SIZE_WINDOW, 6, 0, 0);
    QueueEvent(EV_GADGET, 1, 4, 1);
    EXPECT_EQ(TakeEvents(),
              (std::vector<Taken>{
                  {EV_SIZE_WINDOW, 6, 0, 0}, {EV_GADGET, 1, 4, 0}, {EV_SIZE_WINDOW, 6, 0, 0}, {EV_GADGET, 1, 4, 1}}));
}

TEST_F(ToolkitTest, EventWaitReturnsTheFirstQueuedEventAfterPlatformWork) {
    QTimer::singleShot(20, [] { QueueEvent(EV_MENU, 1, 1, 0); });
    EXPECT_EQ(EventWait(), EV_MENU);
    EXPECT_EQ(EventObjectNumber(), 1);
    EXPECT_EQ(EventKind(), 0);
}

TEST_F(ToolkitTest, ACloseRequestClosesNothing) {
    auto* window = Native<QWidget>(WindowOpen(1, 0, 0, 200, 100, "w", PlainFlags, 0));
    ASSERT_NE(window, nullptr);
    DrainEvents();
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(WindowExists(1));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(TakeEvents(), (std::vector<Taken>{{EV_CLOSE_WINDOW, 1, 1, 0}}));
    WindowClose(1);
    EXPECT_FALSE(WindowExists(1));
    EXPECT_EQ(WindowHandle(1), 0);
    EXPECT_TRUE(TakeEvents().empty()) << "closing by the program raises no close request";
    EXPECT_EQ(GadgetGetText(4), "") << "operations on numbers that name nothing do nothing";
}

TEST_F(ToolkitTest, ShortcutsFireOnlyInTheActiveWindowWithExactlyTheirModifiers) {
    ASSERT_NE(WindowOpen(1, 0, 0, 200, 100, "main", PlainFlags, 0), 0);
    GadgetButton(4, 5, 5, 60, 20, "Start", 0);
    auto* info = Native<QWidget>(WindowOpen(6, 0, 0, 300, 200, "info", PlainFlags | WF_SIZABLE, WindowHandle(1)));
    auto* editor = Native<QPlainTextEdit>(GadgetEditor(7, 10, 10, 200, 100, GS_READ_ONLY));
    WindowShortcutAdd(6, 84, 777);
    ASSERT_TRUE(QTest::qWaitForWindowActive(info));
    editor->setFocus();
    DrainEvents();

    QTest::keyClick(editor, Qt::Key_T);
    EXPECT_EQ(TakeEvents(), (std::vector<Taken>{{EV_MENU, 6, 777, 0}}));
    EXPECT_EQ(editor->toPlainText(), "");
    QTest::keyClick(editor, Qt::Key_T, Qt::ShiftModifier);
    QTest::keyClick(editor, Qt::Key_T, Qt::ControlModifier);
    EXPECT_TRUE(TakeEvents().empty());

    // The same key with the main window active raises nothing.
    WindowActivate(1);
    ASSERT_TRUE(QTest::qWaitForWindowActive(Native<QWidget>(WindowHandle(1))));
    QTest::keyClick(Native<QWidget>(GadgetHandle(4)), Qt::Key_T);
    EXPECT_TRUE(TakeEvents().empty());

    // Adding the same key again changes its event number; a modifier makes another shortcut.
    WindowShortcutAdd(6, 84, 778);
    WindowShortcutAdd(6, 84 | SK_SHIFT, 779);
    WindowActivate(6);
    ASSERT_TRUE(QTest::qWaitForWindowActive(info));
    QTest::keyClick(editor, Qt::Key_T);
    QTest::keyClick(editor, Qt::Key_T, Qt::ShiftModifier);
    EXPECT_EQ(TakeEvents(), (std::vector<Taken>{{EV_MENU, 6, 778, 0}, {EV_MENU, 6, 779, 0}}));
}

TEST_F(ToolkitTest, SizeBoundsHoldTheInnerSize) {
    auto* window = Native<QWidget>(WindowOpen(6, 0, 0, 500, 400, "info", PlainFlags | WF_SIZABLE, 0));
    WindowSizeBounds(6, 300, 200, 1000, 1000);
    WindowResize(6, UI_IGNORE, UI_IGNORE, 100, 50);
    EXPECT_EQ(WindowInnerWidth(6), 300);
    EXPECT_EQ(WindowInnerHeight(6), 200);
    WindowResize(6, UI_IGNORE, UI_IGNORE, 5000, 5000);
    EXPECT_EQ(WindowInnerWidth(6), 1000);
    EXPECT_EQ(WindowInnerHeight(6), 1000);
    WindowSizeBounds(6, UI_IGNORE, UI_IGNORE, 90000, UI_IGNORE);
    EXPECT_EQ(window->maximumWidth(), 32000);
    EXPECT_EQ(window->maximumHeight(), 1000) << "an ignored bound stays";
    EXPECT_EQ(window->minimumSize(), QSize(300, 200));
}

TEST_F(ToolkitTest, SizeChangesRaiseOneSizeEventAndMinimizingNone) {
    auto* window = Native<QWidget>(WindowOpen(6, 0, 0, 500, 400, "info", PlainFlags | WF_SIZABLE, 0));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    DrainEvents();
    WindowResize(6, UI_IGNORE, UI_IGNORE, 600, 450);
    WindowResize(6, UI_IGNORE, UI_IGNORE, 610, 450);
    EXPECT_EQ(TakeEvents(), (std::vector<Taken>{{EV_SIZE_WINDOW, 6, 0, 0}}));
    WindowResize(6, UI_IGNORE, UI_IGNORE, 610, 450);
    EXPECT_TRUE(TakeEvents().empty()) << "no change, no event";

    window->showMinimized();
    QApplication::processEvents();
    EXPECT_TRUE(TakeEvents().empty());
    window->showNormal();
    QApplication::processEvents();
    EXPECT_EQ(TakeEvents(), (std::vector<Taken>{{EV_SIZE_WINDOW, 6, 0, 0}}));
}

TEST_F(ToolkitTest, WindowsAndGadgetsMoveAndResizeByTheirCoordinates) {
    ASSERT_NE(WindowOpen(6, 40, 30, 500, 400, "info", PlainFlags | WF_SIZABLE | WF_HIDDEN, 0), 0);
    auto* window = Native<QWidget>(WindowHandle(6));
    EXPECT_FALSE(window->isVisible()) << "created hidden";
    EXPECT_EQ(WindowX(6), 40);
    EXPECT_EQ(WindowY(6), 30);
    WindowResize(6, 70, UI_IGNORE, UI_IGNORE, 300);
    EXPECT_EQ(WindowX(6), 70);
    EXPECT_EQ(WindowY(6), 30);
    EXPECT_EQ(WindowInnerWidth(6), 500);
    EXPECT_EQ(WindowInnerHeight(6), 300);
    WindowShow(6, 0);
    EXPECT_TRUE(window->isVisible());

    auto* button = Native<QWidget>(GadgetButton(8, 205, 375, 80, 20, "OK", 0));
    GadgetResize(8, UI_IGNORE, UI_IGNORE, 120, 30);
    EXPECT_EQ(button->geometry(), QRect(205, 375, 120, 30));
    GadgetResize(8, 10, UI_IGNORE, UI_IGNORE, UI_IGNORE);
    EXPECT_EQ(button->geometry(), QRect(10, 375, 120, 30));

    // A gadget created again under its number replaces the old one.
    GadgetButton(8, 0, 0, 10, 10, "again", 0);
    EXPECT_NE(GadgetHandle(8), 0);
    EXPECT_EQ(GadgetGetText(8), "again");
}

TEST_F(ToolkitTest, TheMenuBarCountsIntoTheInnerHeightAndRaisesMenuEvents) {
    auto* window = Native<QWidget>(WindowOpen(1, 0, 0, 200, 205, "Mirl", PlainFlags, 0));
    auto* field = Native<QWidget>(GadgetTextField(5, 5, 95, 190, 85, "", GS_READ_ONLY | GS_MULTI_LINE));
    auto* bar = Native<QMenuBar>(MenuBarCreate(0, WindowHandle(1)));
    ASSERT_NE(bar, nullptr);
    MenuAddTitle("Hilfe");
    MenuAddItem(1, "Info");
    EXPECT_EQ(WindowInnerHeight(1), 205);
    EXPECT_EQ(WindowInnerWidth(1), 200);
    const int menuHeight = bar->height();
    EXPECT_GT(menuHeight, 0);
    EXPECT_EQ(field->mapTo(window, QPoint(0, 0)), QPoint(5, 95 + menuHeight));

    ASSERT_EQ(bar->actions().size(), 1);
    EXPECT_EQ(bar->actions()[0]->text(), "Hilfe");
    const QList<QAction*> items = bar->actions()[0]->menu()->actions();
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items[0]->text(), "Info");
    items[0]->trigger();
    EXPECT_EQ(TakeEvents(), (std::vector<Taken>{{EV_MENU, 1, 1, 0}}));
    EXPECT_EQ(MenuBarCreate(0, 12345), 0) << "no window has that handle";
}

TEST_F(ToolkitTest, TextFieldsKeepTheirLineBreaks) {
    ASSERT_NE(WindowOpen(1, 0, 0, 200, 205, "Mirl", PlainFlags, 0), 0);
    auto* field = Native<QPlainTextEdit>(GadgetTextField(5, 5, 95, 190, 85, "a\r\nb", GS_READ_ONLY | GS_MULTI_LINE));
    EXPECT_TRUE(field->isReadOnly());
    EXPECT_EQ(field->toPlainText(), "a\nb");
    const std::string status = "Laufwerk: /\r\nFrei: 5 GB\r\nMirl beendet!\r\n";
    GadgetSetText(5, status);
    EXPECT_EQ(GadgetGetText(5), status);
    GadgetSetText(5, "Grüße");
    EXPECT_EQ(GadgetGetText(5), "Grüße");

    GadgetTextField(2, 5, 5, 190, 20, "single", 0);
    EXPECT_EQ(GadgetGetText(2), "single");
}

TEST_F(ToolkitTest, TheEditorSettingsAreEditorOperations) {
    ASSERT_NE(WindowOpen(6, 0, 0, 500, 400, "info", PlainFlags | WF_SIZABLE, 0), 0);
    auto* editor = Native<QPlainTextEdit>(GadgetEditor(7, 10, 10, 480, 360, 0));
    EXPECT_FALSE(editor->isReadOnly());
    EditorSetReadOnly(7, true);
    EditorWrapAtWidth(7);
    EditorRemoveLengthLimit(7);
    EXPECT_TRUE(editor->isReadOnly());
    EXPECT_EQ(editor->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    const std::string longText(100000, 'x');
    GadgetSetText(7, longText);
    EXPECT_EQ(GadgetGetText(7).size(), longText.size());
}

} // namespace
} // namespace mirl
