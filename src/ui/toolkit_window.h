#pragma once

#include <QSize>
#include <QWidget>

#include <cstdint>
#include <vector>

class QMenuBar;
class QMenu;

namespace mirl {

struct Shortcut {
    int32_t key; // 16-bit key code with the modifier bits
    int32_t eventNumber;
};

// A top-level window of the toolkit. Its gadgets live in the client area below the menu bar;
// close requests and size changes become queued events instead of acting by themselves.
class ToolkitWindow : public QWidget {
public:
    ToolkitWindow(int32_t number, bool sizable, QWidget* owner);

    int32_t Number() const { return number_; }
    QWidget* Client() const { return client_; }
    QMenuBar* MenuBar() const { return menuBar_; }
    QMenu* CurrentMenu() const { return currentMenu_; }
    bool Sizable() const { return sizable_; }
    std::vector<Shortcut>& Shortcuts() { return shortcuts_; }

    QMenuBar* AttachMenuBar();
    // Gives the menu bar the height its titles need and the client area the rest.
    void PlaceChildren();
    void SetCurrentMenu(QMenu* menu) { currentMenu_ = menu; }
    // Lets the next close through: only the program closes windows.
    void AllowClose() { closeAllowed_ = true; }
    // Sets the inner size the window is known to have, so that only real changes raise events.
    void SetKnownSize(QSize size) { knownSize_ = size; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int32_t number_;
    bool sizable_;
    bool closeAllowed_ = false;
    QSize knownSize_;
    QWidget* client_;
    QMenuBar* menuBar_ = nullptr;
    QMenu* currentMenu_ = nullptr;
    std::vector<Shortcut> shortcuts_;
};

} // namespace mirl
