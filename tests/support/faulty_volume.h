#pragma once

#include "support/scratch_volume.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

namespace mirl::test {

// A scratch volume (ext4 unless named) on a drive that fails, is slow, drops or wraps writes on
// demand: its image is served by the fault server (FUSE) and loop-mounted from there. Everything
// is taken down with the object.
class FaultyVolume {
public:
    static std::unique_ptr<FaultyVolume> Mount(int sizeMiB, std::string& whyNot, const std::string& type = "ext4");

    FaultyVolume(const FaultyVolume&) = delete;
    FaultyVolume& operator=(const FaultyVolume&) = delete;
    ~FaultyVolume();

    ScratchVolume& Volume() { return *volume_; }

    // Every write of the drive that reaches past byte `offset` of the image fails with EIO.
    void FailWritesPast(int64_t offset);
    // Every write that touches bytes `first` up to `end` of the image fails with EIO, from now on.
    void FailWritesWithin(int64_t first, int64_t end);
    // Every write of the drive takes as long as `bytesPerSecond` allow; 0 takes the brake off.
    void SetWriteRate(int64_t bytesPerSecond);
    // Every write request and every flush of the drive waits `microseconds` more, as a cheap stick
    // or card does whatever the request's size; writes that go on where the last one ended count
    // as one request.
    void SetRequestLatency(int64_t microseconds);
    // Every read of the drive takes as long as `bytesPerSecond` allow; 0 takes the brake off.
    void SetReadRate(int64_t bytesPerSecond);
    // Every write past byte `offset` is answered as done and kept nowhere.
    void DropWritesPast(int64_t offset);
    // The drive holds only `bytes`: reads and writes past them land on its beginning.
    void WrapPast(int64_t bytes);
    // Writes go through again, nothing dropped or wrapped.
    void Heal();

private:
    FaultyVolume() = default;
    void Tell(const std::string& command);

    std::string folder_;
    std::string serverMount_;
    pid_t server_ = -1;
    std::unique_ptr<ScratchVolume> volume_;
};

} // namespace mirl::test

// Mounts a faulty volume into `var` or ends the test, as MIRL_MOUNT_SCRATCH_OR_SKIP does.
#define MIRL_MOUNT_FAULTY_OR_SKIP(var, sizeMiB, ...)                                                                   \
    std::string var##WhyNot;                                                                                           \
    auto var = ::mirl::test::FaultyVolume::Mount(sizeMiB, var##WhyNot __VA_OPT__(, ) __VA_ARGS__);                     \
    if (!var) {                                                                                                        \
        if (!::mirl::test::MaySkipScratch()) {                                                                         \
            GTEST_FAIL() << "no faulty volume, and CI is set: " << var##WhyNot;                                        \
        }                                                                                                              \
        GTEST_SKIP() << var##WhyNot;                                                                                   \
    }
