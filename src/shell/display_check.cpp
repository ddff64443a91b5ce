#include "shell/display_check.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace mirl {
namespace {

constexpr const char* NoDisplayLine =
    "Mirl: Keine grafische Oberfläche erreichbar (DISPLAY oder WAYLAND_DISPLAY); ohne Bildschirm startet "
    "Mirl mit xvfb-run.\n";

bool Named(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] != '\0';
}

void OnAbortAtStart(int /*signal*/) {
    SayNoDisplay(); // only write(): safe in a signal handler
    _exit(1);
}

} // namespace

bool DisplayNamed() {
    return Named("DISPLAY") || Named("WAYLAND_DISPLAY") || Named("QT_QPA_PLATFORM");
}

void SayNoDisplay() {
    const ssize_t ignored = write(STDERR_FILENO, NoDisplayLine, std::strlen(NoDisplayLine));
    static_cast<void>(ignored);
}

void GuardToolkitStart() {
    struct sigaction action {};
    action.sa_handler = OnAbortAtStart;
    sigemptyset(&action.sa_mask);
    sigaction(SIGABRT, &action, nullptr);
}

} // namespace mirl
