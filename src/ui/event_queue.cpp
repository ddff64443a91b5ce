#include "ui/toolkit.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>

#include <deque>

namespace mirl {
namespace {

struct Event {
    int32_t code;
    int32_t window;
    int32_t object;
    int32_t kind;

    bool operator==(const Event&) const = default;
};

std::deque<Event> queue;
Event current{0, 0, 0, -1};

int32_t TakeQueued() {
    current = queue.front();
    queue.pop_front();
    return current.code;
}

int32_t NothingTaken() {
    current.kind = -1;
    return 0;
}

// Windows closed by the program are deleted at once, but Qt may still hold deferred deletes of
// its own (menus, popups); they go before the next wait.
void DispatchPlatformEvents(QEventLoop::ProcessEventsFlags flags) {
    QCoreApplication::processEvents(flags);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

void QueueEvent(int32_t code, int32_t window, int32_t object, int32_t kind) {
    const Event event{code, window, object, kind};
    // A burst of identical events (a frame being dragged) leaves a single one pending.
    if (!queue.empty() && queue.back() == event) {
        return;
    }
    queue.push_back(event);
}

int32_t EventWait() {
    // Qt's wait also returns for its own internal events; wait again until one of ours is queued.
    while (queue.empty()) {
        DispatchPlatformEvents(QEventLoop::WaitForMoreEvents);
    }
    return TakeQueued();
}

int32_t EventPoll() {
    if (queue.empty()) {
        DispatchPlatformEvents(QEventLoop::AllEvents);
    }
    return queue.empty() ? NothingTaken() : TakeQueued();
}

void EventsDeliver() {
    DispatchPlatformEvents(QEventLoop::AllEvents);
}

bool EventQueued() {
    return !queue.empty();
}

void EventsDropGadget(int32_t gadgetNumber) {
    std::erase_if(queue, [&](const Event& event) { return event.code == EV_GADGET && event.object == gadgetNumber; });
}

int32_t EventWindowNumber() {
    return current.window;
}

int32_t EventObjectNumber() {
    return current.object;
}

int32_t EventKind() {
    return current.kind;
}

} // namespace mirl
