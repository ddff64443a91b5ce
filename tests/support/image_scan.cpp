#include "support/image_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string_view>
#include <unistd.h>
#include <unordered_map>

namespace mirl::test {

std::vector<std::set<int64_t>> FindInImage(const std::string& image, const std::vector<std::string>& patterns) {
    std::vector<std::set<int64_t>> found(patterns.size());
    const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "cannot read " << image;
        return found;
    }
    // One search per distinct first two bytes; at each hit, one look-up per distinct length of the
    // patterns that start so.
    struct Anchor {
        std::map<size_t, std::unordered_multimap<std::string_view, size_t>> byLength;
    };
    std::map<std::string, Anchor> anchors;
    size_t longest = 2;
    for (size_t i = 0; i < patterns.size(); ++i) {
        if (patterns[i].size() < 2) {
            ADD_FAILURE() << "pattern too short to search for: " << patterns[i];
            continue;
        }
        anchors[patterns[i].substr(0, 2)].byLength[patterns[i].size()].emplace(patterns[i], i);
        longest = std::max(longest, patterns[i].size());
    }
    const size_t overlap = longest - 1;
    std::vector<char> chunk((8 << 20) + overlap);
    size_t kept = 0;
    int64_t chunkStart = 0;
    for (ssize_t n; (n = read(fd, chunk.data() + kept, chunk.size() - kept)) > 0;) {
        const size_t end = kept + static_cast<size_t>(n);
        for (const auto& [anchor, candidates] : anchors) {
            const char* at = chunk.data();
            while ((at = static_cast<const char*>(memmem(at, end - (at - chunk.data()), anchor.data(), 2))) !=
                   nullptr) {
                const size_t offset = at - chunk.data();
                for (const auto& [length, byText] : candidates.byLength) {
                    if (offset + length > end) {
                        continue;
                    }
                    const auto [first, last] = byText.equal_range(std::string_view(at, length));
                    for (auto hit = first; hit != last; ++hit) {
                        found[hit->second].insert((chunkStart + static_cast<int64_t>(offset)) / ScanBlock);
                    }
                }
                ++at;
            }
        }
        const size_t keep = std::min(end, overlap);
        chunkStart += static_cast<int64_t>(end - keep);
        std::memmove(chunk.data(), chunk.data() + end - keep, keep);
        kept = keep;
    }
    close(fd);
    return found;
}

} // namespace mirl::test
