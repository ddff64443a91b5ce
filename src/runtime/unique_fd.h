#pragma once

#include <unistd.h>
#include <utility>

namespace mirl {

// Owns a file descriptor and closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

    // Gives up ownership without closing.
    [[nodiscard]] int Release() { return std::exchange(fd_, -1); }

    // Closes the descriptor now; the result of close() (-1 when it failed, 0 otherwise).
    int Reset(int fd = -1) {
        int result = 0;
        if (fd_ >= 0) {
            result = ::close(fd_);
        }
        fd_ = fd;
        return result;
    }

private:
    int fd_ = -1;
};

} // namespace mirl
