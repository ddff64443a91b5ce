#pragma once

#include <string>

namespace mirl::test {

// Switches the process to the German locale (decimal comma) for its lifetime, as a German desktop
// session does through the toolkit, and back to "C" at the end. Where the machine has no compiled
// de_DE.UTF-8, the one the test run made in the build folder is taken (LOCPATH), and without that
// it is made with localedef into a folder of the process's own.
class GermanLocale {
public:
    GermanLocale();
    GermanLocale(const GermanLocale&) = delete;
    GermanLocale& operator=(const GermanLocale&) = delete;
    ~GermanLocale();

    bool Active() const { return whyNot_.empty(); }
    const std::string& WhyNot() const { return whyNot_; }

private:
    std::string whyNot_;
};

} // namespace mirl::test
