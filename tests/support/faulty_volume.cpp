#include "support/faulty_volume.h"

#include "runtime/unique_fd.h"
#include "support/run_command.h"
#include "support/wait_for.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mirl::test {

std::unique_ptr<FaultyVolume> FaultyVolume::Mount(int sizeMiB, std::string& whyNot, const std::string& type) {
    if (geteuid() != 0) {
        whyNot = "faulty volumes need root (FUSE and loop mounts)";
        return nullptr;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        whyNot = "no /dev/fuse here";
        return nullptr;
    }
    std::unique_ptr<FaultyVolume> faulty(new FaultyVolume);
    std::string pattern = "/tmp/mirl-faulty-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        whyNot = "mkdtemp failed";
        return nullptr;
    }
    faulty->folder_ = pattern;
    faulty->serverMount_ = faulty->folder_ + "/drive";
    const std::string backing = faulty->folder_ + "/backing";
    std::filesystem::create_directory(faulty->serverMount_);
    {
        const UniqueFd file(open(backing.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!file.Valid() || ftruncate(file.Get(), static_cast<off_t>(sizeMiB) << 20) != 0) {
            whyNot = "cannot make the backing file";
            return nullptr;
        }
    }

    faulty->server_ = fork();
    if (faulty->server_ == 0) {
        execl(MIRL_FAULT_SERVER, MIRL_FAULT_SERVER, backing.c_str(), faulty->serverMount_.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    if (!WaitFor([&] { return OnOwnDevice(faulty->serverMount_); }, std::chrono::seconds(5))) {
        whyNot = "the fault server did not mount";
        return nullptr;
    }
    faulty->volume_ = ScratchVolume::Mount(type, sizeMiB, whyNot, "", faulty->serverMount_ + "/image");
    if (!faulty->volume_) {
        return nullptr;
    }
    return faulty;
}

void FaultyVolume::Tell(const std::string& command) {
    const UniqueFd control(open((serverMount_ + "/control").c_str(), O_WRONLY | O_CLOEXEC));
    if (!control.Valid() ||
        write(control.Get(), command.data(), command.size()) != static_cast<ssize_t>(command.size())) {
        throw std::runtime_error("the fault server did not take \"" + command + "\"");
    }
}

void FaultyVolume::FailWritesPast(int64_t offset) {
    Tell("fail " + std::to_string(offset));
}

void FaultyVolume::FailWritesWithin(int64_t first, int64_t end) {
    Tell("failrange " + std::to_string(first) + " " + std::to_string(end));
}

void FaultyVolume::SetWriteRate(int64_t bytesPerSecond) {
    Tell("rate " + std::to_string(bytesPerSecond));
}

void FaultyVolume::SetRequestLatency(int64_t microseconds) {
    Tell("latency " + std::to_string(microseconds));
}

void FaultyVolume::SetReadRate(int64_t bytesPerSecond) {
    Tell("readrate " + std::to_string(bytesPerSecond));
}

void FaultyVolume::DropWritesPast(int64_t offset) {
    Tell("drop " + std::to_string(offset));
}

void FaultyVolume::WrapPast(int64_t bytes) {
    Tell("wrap " + std::to_string(bytes));
}

void FaultyVolume::Heal() {
    Tell("heal");
}

FaultyVolume::~FaultyVolume() {
    try {
        if (OnOwnDevice(serverMount_)) {
            Tell("rate 0"); // so that unmounting doesn't crawl
            Tell("readrate 0");
        }
    } catch (const std::exception&) {
        // Taken down all the same below.
    }
    volume_.reset(); // unmounts the filesystem and frees its loop device
    if (OnOwnDevice(serverMount_) && umount(serverMount_.c_str()) != 0) {
        umount2(serverMount_.c_str(), MNT_DETACH);
    }
    if (server_ > 0) {
        int status = 0;
        // The server ends by itself once its filesystem is unmounted.
        if (!WaitFor([&] { return waitpid(server_, &status, WNOHANG) != 0; }, std::chrono::seconds(2))) {
            kill(server_, SIGKILL);
            waitpid(server_, &status, 0);
        }
    }
    std::error_code ignored;
    if (!OnOwnDevice(serverMount_)) {
        std::filesystem::remove_all(folder_, ignored);
    }
}

} // namespace mirl::test
