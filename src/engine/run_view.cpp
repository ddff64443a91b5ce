#include "engine/run_view.h"

namespace mirl {
namespace {

NoRunView noView;
RunView* current = &noView;

} // namespace

void UseRunView(RunView* view) {
    current = view != nullptr ? view : &noView;
}

RunView& View() {
    return *current;
}

} // namespace mirl
