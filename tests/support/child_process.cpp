#include "support/child_process.h"

#include "runtime/unique_fd.h"
#include "support/watchdog.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mirl::test {
namespace {

// What a child of a test may take at most; the test's own watchdog shortens it.
constexpr unsigned ChildSeconds = 60;

} // namespace

int WaitForChild(pid_t child) {
    int status = 0;
    pid_t waited = 0;
    while ((waited = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    return waited == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadToEnd(int fd) {
    std::string text;
    std::array<char, 4096> chunk{};
    for (ssize_t n; (n = read(fd, chunk.data(), chunk.size())) != 0;) {
        if (n > 0) {
            text.append(chunk.data(), static_cast<size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    return text;
}

ChildResult RunInChild(const std::function<int(int output)>& body) {
    ChildResult result;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return result;
    }
    UniqueFd reading(ends[0]);
    UniqueFd writing(ends[1]);
    // What this process has buffered must not be written twice.
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        ArmWatchdogInChild(ChildSeconds);
        _exit(body(writing.Get()));
    }
    writing.Reset();
    if (child < 0) {
        return result;
    }
    result.output = ReadToEnd(reading.Get());
    result.exitCode = WaitForChild(child);
    return result;
}

} // namespace mirl::test
