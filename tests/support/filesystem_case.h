#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace mirl::test {

// A filesystem a parameterised test runs on: the name its case carries, the type mkfs makes, the
// image's size and the format's options. `keepFolder` where deleted entries stay in their folder
// (NTFS, exFAT, FAT): a test keeps that folder, to see the pass reach it.
struct FilesystemCase {
    std::string name;
    std::string type;
    int sizeMiB = 0;
    std::vector<std::string> formatOptions = {};
    bool keepFolder = false;
};

inline void PrintTo(const FilesystemCase& filesystem, std::ostream* out) {
    *out << filesystem.name;
}

// The case's name for INSTANTIATE_TEST_SUITE_P.
inline std::string FilesystemCaseName(const ::testing::TestParamInfo<FilesystemCase>& info) {
    return info.param.name;
}

} // namespace mirl::test
