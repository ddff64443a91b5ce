#include "common/ids.h"
#include "runtime/text.h"
#include "shell/dialogs.h"
#include "support/toolkit_fixture.h"

namespace mirl {
namespace {

using test::ToolkitTest;

class LayoutTest : public ToolkitTest {
protected:
    void SetUp() override { InitLayout(); }

    static QRect Geometry(int32_t gadget) { return reinterpret_cast<QWidget*>(GadgetHandle(gadget))->geometry(); }
};

TEST_F(LayoutTest, AnchorsBecomeRecordsByTheirLetters) {
    SetAnchors("", 6, 9, 1, 2, 3, 4);
    EXPECT_TRUE(LayoutList.empty()) << "the empty flag text makes no record";

    SetAnchors(TextUpper("ru"), 6, 7, 10, 10, 480, 360);
    SetAnchors("xOLoL", 6, 8, 205, 375, 80, 20);
    ASSERT_EQ(LayoutList.size(), 2u);
    const LayoutRecord editor = LayoutList[0];
    EXPECT_EQ(editor.x, UI_IGNORE);
    EXPECT_EQ(editor.y, UI_IGNORE);
    EXPECT_EQ(editor.width, 480);
    EXPECT_EQ(editor.height, 360);
    const LayoutRecord button = LayoutList[1];
    EXPECT_EQ(button.x, 205);
    EXPECT_EQ(button.y, 375);
    EXPECT_EQ(button.width, UI_IGNORE);
    EXPECT_EQ(button.height, UI_IGNORE);

    // Registering again replaces the values in place.
    SetLayoutRecord(6, 7, 1, 2, 3, 4);
    ASSERT_EQ(LayoutList.size(), 2u);
    EXPECT_EQ(LayoutList[0].gadget, 7);
    EXPECT_EQ(LayoutList[0].x, 1);
    EXPECT_EQ(LayoutList[0].height, 4);
    EXPECT_EQ(LayoutList[1].gadget, 8);
}

TEST_F(LayoutTest, AnchoredGadgetsFollowTheInfoWindowBothWays) {
    ASSERT_NE(OpenMainWindow(), 0);
    ASSERT_NE(OpenInfoWindow(), 0);
    WindowShow(WndChldInfo, 0);

    WindowResize(WndChldInfo, UI_IGNORE, UI_IGNORE, 600, 450);
    ApplyLayout(WndChldInfo);
    EXPECT_EQ(Geometry(WndChldInfoEditGdg), QRect(10, 10, 580, 410));
    EXPECT_EQ(Geometry(WndChldInfoBtnGdgOK), QRect(305, 425, 80, 20));

    // Down to the minimum: the deltas are negative, nothing drifts from repeated layouts.
    WindowResize(WndChldInfo, UI_IGNORE, UI_IGNORE, 100, 100);
    ApplyLayout(WndChldInfo);
    ApplyLayout(WndChldInfo);
    EXPECT_EQ(WindowInnerWidth(WndChldInfo), 300);
    EXPECT_EQ(WindowInnerHeight(WndChldInfo), 200);
    EXPECT_EQ(Geometry(WndChldInfoEditGdg), QRect(10, 10, 280, 160));
    EXPECT_EQ(Geometry(WndChldInfoBtnGdgOK), QRect(5, 175, 80, 20));

    WindowResize(WndChldInfo, UI_IGNORE, UI_IGNORE, 500, 400);
    ApplyLayout(WndChldInfo);
    EXPECT_EQ(Geometry(WndChldInfoEditGdg), QRect(10, 10, 480, 360));
    EXPECT_EQ(Geometry(WndChldInfoBtnGdgOK), QRect(205, 375, 80, 20));
}

TEST_F(LayoutTest, WindowsWithoutAnchorsOrNotOpenStayAsTheyAre) {
    ASSERT_NE(OpenMainWindow(), 0);
    const QRect status = Geometry(Wnd1StrGdgInfo);
    ApplyLayout(Wnd1);
    EXPECT_EQ(Geometry(Wnd1StrGdgInfo), status);
    ASSERT_EQ(LayoutList.size(), 1u) << "the main window has only its base record";

    ASSERT_NE(OpenInfoWindow(), 0);
    const QRect editor = Geometry(WndChldInfoEditGdg);
    WindowClose(WndChldInfo);
    ApplyLayout(WndChldInfo);
    EXPECT_EQ(LayoutList.size(), 4u) << "records stay when the window closes";
    EXPECT_EQ(editor, QRect(10, 10, 480, 360));
}

TEST_F(LayoutTest, CoordinatesAreScaledAndRoundedHalvesToEven) {
    LayoutScale = 1.5f;
    EXPECT_EQ(Scaled(5), 8); // 7.5
    EXPECT_EQ(Scaled(3), 4); // 4.5
    EXPECT_EQ(Scaled(190), 285);
    LayoutScale = 1.0f;
    EXPECT_EQ(Scaled(205), 205);
}

} // namespace
} // namespace mirl
