#include "engine/run_view.h"

namespace mirl {
namespace {

// Shows nothing and is never asked to stop: the engine without a window.
class NoView final : public RunView {
public:
    std::string ChosenFolder() override { return {}; }
    uint64_t ChosenDevice() override { return 0; }
    void ShowStatus(const std::string& /*text*/) override {}
    std::string ShownStatus() override { return {}; }
    void ShowStatusHint(const std::string& /*hint*/) override {}
    void ShowRunState(RunState /*state*/) override {}
    void ShowMessage(const std::string& /*text*/) override {}
    bool TakeStopRequests() override { return false; }
    void KeepWindowAlive() override {}
};

NoView noView;
RunView* current = &noView;

} // namespace

void UseRunView(RunView* view) {
    current = view != nullptr ? view : &noView;
}

RunView& View() {
    return *current;
}

} // namespace mirl
