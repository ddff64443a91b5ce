#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace mirl::test {

// Sets environment variables for a scope ("" unsets one) and puts back what was there before.
class EnvironmentFor {
public:
    explicit EnvironmentFor(const std::vector<std::pair<std::string, std::string>>& variables) {
        for (const auto& [name, value] : variables) {
            const char* before = std::getenv(name.c_str());
            saved_.emplace_back(name, before != nullptr ? std::optional<std::string>(before) : std::nullopt);
            Set(name, value.empty() ? std::nullopt : std::optional<std::string>(value));
        }
    }
    EnvironmentFor(const EnvironmentFor&) = delete;
    EnvironmentFor& operator=(const EnvironmentFor&) = delete;
    ~EnvironmentFor() {
        for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
            Set(saved->first, saved->second);
        }
    }

private:
    static void Set(const std::string& name, const std::optional<std::string>& value) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace mirl::test
