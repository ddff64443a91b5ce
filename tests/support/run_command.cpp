#include "support/run_command.h"

#include "runtime/unique_fd.h"
#include "support/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace mirl::test {

CommandResult RunCommand(const std::vector<std::string>& argv) {
    CommandResult result;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return result;
    }
    const UniqueFd reading(ends[0]);
    UniqueFd writing(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writing.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, writing.Get(), 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawnError = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writing.Reset();
    if (spawnError != 0) {
        result.output = "cannot start " + argv[0];
        return result;
    }
    result.output = ReadToEnd(reading.Get());
    result.exitCode = WaitForChild(pid);
    return result;
}

} // namespace mirl::test
