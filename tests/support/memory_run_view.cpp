#include "support/memory_run_view.h"

#include <sys/stat.h>

namespace mirl::test {

void MemoryRunView::ShowStatus(const std::string& text) {
    status = text;
    if (keepHistory && (history.empty() || history.back() != text)) {
        history.push_back(text);
    }
}

bool MemoryRunView::TakeStopRequests() {
    ++pumps;
    return onEvents ? onEvents() : false;
}

void MemoryRunView::Choose(const std::string& path) {
    folder = path;
    struct stat entry {};
    device = stat(path.c_str(), &entry) == 0 ? static_cast<uint64_t>(entry.st_dev) : 0;
}

} // namespace mirl::test
