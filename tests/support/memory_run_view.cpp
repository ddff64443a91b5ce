#include "support/memory_run_view.h"

#include <algorithm>
#include <sys/stat.h>

namespace mirl::test {

void MemoryRunView::ShowStatus(const std::string& text) {
    status = text;
    if (keepHistory && (history.empty() || history.back() != text)) {
        history.push_back(text);
    }
}

void MemoryRunView::Turned() {
    const auto now = std::chrono::steady_clock::now();
    if (lastTurn_ != std::chrono::steady_clock::time_point{}) {
        longestWait_ = std::max(longestWait_, now - lastTurn_);
    }
    lastTurn_ = now;
}

bool MemoryRunView::TakeStopRequests() {
    Turned();
    ++pumps;
    return onEvents ? onEvents() : false;
}

void MemoryRunView::KeepWindowAlive() {
    Turned();
    ++windowTurns;
    if (onWindow) {
        onWindow();
    }
}

void MemoryRunView::Choose(const std::string& path) {
    folder = path;
    struct stat entry {};
    device = stat(path.c_str(), &entry) == 0 ? static_cast<uint64_t>(entry.st_dev) : 0;
}

} // namespace mirl::test
