#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace mirl::test {

// The unit in which a raw image's findings are counted.
constexpr int64_t ScanBlock = 4096;

// Reads the raw image (or any file) once and returns, for each of `patterns`, the 4 KiB blocks that
// hold it. Patterns must be at least 2 bytes long; thousands of them cost little more than a few.
std::vector<std::set<int64_t>> FindInImage(const std::string& image, const std::vector<std::string>& patterns);

} // namespace mirl::test
