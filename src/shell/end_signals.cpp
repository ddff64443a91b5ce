#include "shell/end_signals.h"

#include "common/ids.h"
#include "runtime/unique_fd.h"
#include "ui/toolkit.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace mirl {
namespace {

volatile sig_atomic_t endSignal = 0;
UniqueFd wakeRead;
UniqueFd wakeWrite;
QSocketNotifier* notifier = nullptr;

// Only what is safe in a signal handler: note the signal and wake the event loop through a pipe.
void OnEndSignal(int signal) {
    const int kept = errno;
    endSignal = signal;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(wakeWrite.Get(), &byte, 1);
    errno = kept;
}

} // namespace

void InstallEndSignals() {
    int ends[2];
    if (notifier != nullptr || pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    wakeRead.Reset(ends[0]);
    wakeWrite.Reset(ends[1]);
    // On the event loop's side the signal becomes a close request of the main window, which both
    // the main loop and a run's event pump understand.
    notifier = new QSocketNotifier(wakeRead.Get(), QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char bytes[16];
        while (read(wakeRead.Get(), bytes, sizeof bytes) > 0) {
        }
        // The event's code is a number like the window's: the order is the right one.
        QueueEvent(EV_CLOSE_WINDOW, Wnd1, Wnd1, 0); // NOLINT(readability-suspicious-call-argument)
    });
    struct sigaction action {};
    action.sa_handler = OnEndSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        sigaction(signal, &action, nullptr);
    }
}

int EndSignal() {
    return endSignal;
}

const char* EndSignalName() {
    switch (endSignal) {
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case SIGINT:
        return "SIGINT";
    default:
        return "";
    }
}

} // namespace mirl
