#include "ui/program_icon.h"
#include "ui/toolkit.h"
#include "ui/toolkit_tables.h"
#include "ui/toolkit_window.h"

#include <QApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>
#include <QStyleFactory>
#include <QUrl>

#include <algorithm>
#include <map>

namespace mirl {
namespace {

constexpr int32_t SizeCap = 32000;

// The window whose menu bar was created last; titles and items go there.
QPointer<ToolkitWindow> menuWindow;

// The Win32 virtual-key codes of the shortcuts, as Qt keys. Letters and digits are the same.
int QtKeyOf(int32_t virtualKey) {
    if (virtualKey >= 0x70 && virtualKey <= 0x7B) {
        return Qt::Key_F1 + (virtualKey - 0x70);
    }
    switch (virtualKey) {
    case 0x0D:
        return Qt::Key_Return;
    case 0x1B:
        return Qt::Key_Escape;
    case 0x2E:
        return Qt::Key_Delete;
    default:
        return virtualKey;
    }
}

int32_t ModifierBitsOf(Qt::KeyboardModifiers modifiers) {
    int32_t bits = 0;
    bits |= (modifiers & Qt::ShiftModifier) != 0 ? SK_SHIFT : 0;
    bits |= (modifiers & Qt::ControlModifier) != 0 ? SK_CONTROL : 0;
    bits |= (modifiers & Qt::AltModifier) != 0 ? SK_ALT : 0;
    return bits;
}

// Tries the active window's shortcuts on every key press before any widget sees it, so that a
// shortcut fires whichever gadget has the focus, and only with exactly its modifiers.
class ShortcutFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) {
            return QObject::eventFilter(watched, event);
        }
        // Keys reach the focus widget of the active window; its top-level window is the one whose
        // shortcuts count.
        auto* receiver = dynamic_cast<QWidget*>(watched);
        auto* window = receiver != nullptr ? dynamic_cast<ToolkitWindow*>(receiver->window()) : nullptr;
        if (window == nullptr) {
            return false;
        }
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->modifiers() & Qt::MetaModifier) != 0) {
            return false;
        }
        const int32_t pressed = ModifierBitsOf(key->modifiers());
        const std::vector<Shortcut>& shortcuts = window->Shortcuts();
        const auto shortcut = std::ranges::find_if(shortcuts, [&](const Shortcut& candidate) {
            return (candidate.key & ~0xFFFF) == pressed && QtKeyOf(candidate.key & 0xFFFF) == key->key();
        });
        if (shortcut == shortcuts.end()) {
            return false;
        }
        // Held keys repeat; a shortcut fires once per press, as a menu command would.
        if (!key->isAutoRepeat()) {
            QueueEvent(EV_MENU, window->Number(), shortcut->eventNumber, 0);
        }
        return true;
    }
};

Qt::WindowFlags QtFlagsOf(int32_t flags) {
    Qt::WindowFlags qtFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if ((flags & WF_SYSTEM_MENU) != 0) {
        qtFlags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    }
    if ((flags & WF_MINIMIZE_BOX) != 0) {
        qtFlags |= Qt::WindowMinimizeButtonHint;
    }
    return qtFlags;
}

QPoint CentredCorner(QSize size, QRect area) {
    return area.center() - QPoint(size.width() / 2, size.height() / 2);
}

int32_t Capped(int32_t value) {
    return std::clamp(value, 0, SizeCap);
}

void SetInnerSize(ToolkitWindow& window, int32_t width, int32_t height) {
    const QSize size(Capped(width), Capped(height));
    if (window.Sizable()) {
        window.resize(size);
    } else {
        window.setFixedSize(size);
    }
}

} // namespace

void ToolkitInit(int& argc, char** argv) {
    if (QApplication::instance() == nullptr) {
        new QApplication(argc, argv); // lives until the process ends
    }
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    // The windows have fixed pixel geometry: a narrow sans-serif at 11 pixels keeps every text of
    // the main window inside its gadget, whatever font the desktop prefers.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    QApplication::setFont(font);
    QApplication::setWindowIcon(ProgramIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.mirl.Mirl"));
    static ShortcutFilter* filter = nullptr;
    if (filter == nullptr) {
        filter = new ShortcutFilter(qApp);
        qApp->installEventFilter(filter);
    }
}

intptr_t WindowOpen(int32_t number, int32_t x, int32_t y, int32_t innerWidth, int32_t innerHeight,
                    const std::string& title, int32_t flags, intptr_t parent) {
    if (number < 0 || QApplication::instance() == nullptr) {
        return 0;
    }
    WindowClose(number);
    ToolkitWindow* owner = parent != 0 ? FindWindowByHandle(parent) : nullptr;
    auto* window = new ToolkitWindow(number, (flags & WF_SIZABLE) != 0, owner);
    window->setWindowFlags(QtFlagsOf(flags));
    window->setWindowTitle(QString::fromUtf8(title));
    SetInnerSize(*window, innerWidth, innerHeight);
    window->SetKnownSize(window->size());

    QPoint corner(x, y);
    if ((flags & WF_CENTER_SCREEN) != 0) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        corner = CentredCorner(window->size(), screen != nullptr ? screen->availableGeometry() : QRect());
    } else if ((flags & WF_CENTER_PARENT) != 0 && owner != nullptr) {
        corner = CentredCorner(window->size(), owner->frameGeometry());
    }
    window->move(corner);
    StoreWindow(number, window);
    if ((flags & WF_HIDDEN) == 0) {
        window->show();
        window->raise();
        window->activateWindow();
    }
    return HandleOf(window);
}

void WindowClose(int32_t number) {
    ToolkitWindow* window = FindWindow(number);
    if (window == nullptr) {
        return;
    }
    // The owner comes back to the front first, so that its shortcuts work again at once.
    if (auto* owner = dynamic_cast<ToolkitWindow*>(window->parentWidget())) {
        owner->raise();
        owner->activateWindow();
    }
    window->AllowClose();
    window->close();
    delete window;
}

bool WindowExists(int32_t number) {
    return FindWindow(number) != nullptr;
}

intptr_t WindowHandle(int32_t number) {
    return HandleOf(FindWindow(number));
}

void WindowShow(int32_t number, int32_t hide) {
    ToolkitWindow* window = FindWindow(number);
    if (window == nullptr) {
        return;
    }
    if (hide != 0) {
        window->hide();
        return;
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void WindowActivate(int32_t number) {
    if (ToolkitWindow* window = FindWindow(number)) {
        window->raise();
        window->activateWindow();
    }
}

void WindowResize(int32_t number, int32_t x, int32_t y, int32_t innerWidth, int32_t innerHeight) {
    ToolkitWindow* window = FindWindow(number);
    if (window == nullptr) {
        return;
    }
    if (x != UI_IGNORE || y != UI_IGNORE) {
        const QRect frame = window->frameGeometry();
        window->move(x != UI_IGNORE ? x : frame.x(), y != UI_IGNORE ? y : frame.y());
    }
    if (innerWidth != UI_IGNORE || innerHeight != UI_IGNORE) {
        SetInnerSize(*window, innerWidth != UI_IGNORE ? innerWidth : window->width(),
                     innerHeight != UI_IGNORE ? innerHeight : window->height());
    }
}

int32_t WindowX(int32_t number) {
    const ToolkitWindow* window = FindWindow(number);
    return window != nullptr ? window->frameGeometry().x() : 0;
}

int32_t WindowY(int32_t number) {
    const ToolkitWindow* window = FindWindow(number);
    return window != nullptr ? window->frameGeometry().y() : 0;
}

int32_t WindowInnerWidth(int32_t number) {
    const ToolkitWindow* window = FindWindow(number);
    return window != nullptr ? window->width() : 0;
}

int32_t WindowInnerHeight(int32_t number) {
    const ToolkitWindow* window = FindWindow(number);
    return window != nullptr ? window->height() : 0;
}

void WindowSizeBounds(int32_t number, int32_t minWidth, int32_t minHeight, int32_t maxWidth, int32_t maxHeight) {
    ToolkitWindow* window = FindWindow(number);
    if (window == nullptr || !window->Sizable()) {
        return;
    }
    if (minWidth != UI_IGNORE) {
        window->setMinimumWidth(Capped(minWidth));
    }
    if (minHeight != UI_IGNORE) {
        window->setMinimumHeight(Capped(minHeight));
    }
    if (maxWidth != UI_IGNORE) {
        window->setMaximumWidth(Capped(maxWidth));
    }
    if (maxHeight != UI_IGNORE) {
        window->setMaximumHeight(Capped(maxHeight));
    }
}

void WindowShortcutAdd(int32_t number, int32_t key, int32_t eventNumber) {
    ToolkitWindow* window = FindWindow(number);
    if (window == nullptr) {
        return;
    }
    auto& shortcuts = window->Shortcuts();
    const auto same =
        std::find_if(shortcuts.begin(), shortcuts.end(), [key](const Shortcut& s) { return s.key == key; });
    if (same != shortcuts.end()) {
        same->eventNumber = eventNumber;
    } else {
        shortcuts.push_back({key, eventNumber});
    }
}

void WindowSetTitle(int32_t number, const std::string& title) {
    if (ToolkitWindow* window = FindWindow(number)) {
        window->setWindowTitle(QString::fromUtf8(title));
    }
}

namespace {

// The menu items by number, for their state; an item goes with its window.
std::map<int32_t, QPointer<QAction>> menuItems;

} // namespace

intptr_t MenuBarCreate(int32_t menuNumber, intptr_t windowHandle) {
    ToolkitWindow* window = FindWindowByHandle(windowHandle);
    if (window == nullptr || menuNumber < 0) {
        return 0;
    }
    menuWindow = window;
    return HandleOf(window->AttachMenuBar());
}

void MenuAddTitle(const std::string& text) {
    if (ToolkitWindow* window = menuWindow.data()) {
        window->SetCurrentMenu(window->MenuBar()->addMenu(QString::fromUtf8(text)));
        window->PlaceChildren();
    }
}

namespace {

// The item `itemNumber` added to the menu being built, kept for its state; null without a menu.
QAction* AddMenuAction(int32_t itemNumber, const std::string& text) {
    ToolkitWindow* window = menuWindow.data();
    if (window == nullptr || window->CurrentMenu() == nullptr) {
        return nullptr;
    }
    QAction* item = window->CurrentMenu()->addAction(QString::fromUtf8(text));
    menuItems[itemNumber] = item;
    return item;
}

} // namespace

void MenuAddItem(int32_t itemNumber, const std::string& text) {
    if (QAction* item = AddMenuAction(itemNumber, text)) {
        const int32_t windowNumber = menuWindow->Number();
        QObject::connect(item, &QAction::triggered,
                         [windowNumber, itemNumber] { QueueEvent(EV_MENU, windowNumber, itemNumber, 0); });
    }
}

void MenuAddCheckItem(int32_t itemNumber, const std::string& text) {
    if (QAction* item = AddMenuAction(itemNumber, text)) {
        item->setCheckable(true);
        const int32_t windowNumber = menuWindow->Number();
        QObject::connect(item, &QAction::toggled, [windowNumber, itemNumber](bool checked) {
            QueueEvent(EV_MENU, windowNumber, itemNumber, checked ? 1 : 0);
        });
    }
}

void MenuItemSetEnabled(int32_t itemNumber, bool enabled) {
    if (const auto item = menuItems.find(itemNumber); item != menuItems.end() && item->second != nullptr) {
        item->second->setEnabled(enabled);
    }
}

bool OpenWithDesktop(const std::string& path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

} // namespace mirl
