#include "support/german_locale.h"

#include "support/run_command.h"
#include "support/temp_folder.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace mirl::test {
namespace {

constexpr const char* German = "de_DE.UTF-8";

bool SetGerman() {
    return std::setlocale(LC_ALL, German) != nullptr && std::strcmp(std::localeconv()->decimal_point, ",") == 0;
}

// The locale that the test run made once (make_german_locale.sh, a CTest fixture).
bool UseTheRunsGerman() {
    setenv("LOCPATH", MIRL_GERMAN_LOCALE_FOLDER, 1);
    if (SetGerman()) {
        return true;
    }
    unsetenv("LOCPATH");
    return false;
}

// Without the fixture (a test program started by hand), the locale is compiled once per process
// into a folder that lives as long as the process.
bool CompileGerman(std::string& whyNot) {
    static std::unique_ptr<TempFolder> folder;
    if (!folder) {
        folder = std::make_unique<TempFolder>();
        const CommandResult made = RunCommand({"localedef", "-i", "de_DE", "-f", "UTF-8", *folder / German});
        // localedef warns about some sources and still writes the locale (exit code 1).
        if (made.exitCode < 0 || made.exitCode > 1) {
            whyNot = "localedef failed: " + made.output;
            return false;
        }
    }
    setenv("LOCPATH", folder->Path().c_str(), 1);
    return true;
}

} // namespace

GermanLocale::GermanLocale() {
    if (SetGerman() || UseTheRunsGerman()) {
        return;
    }
    if (CompileGerman(whyNot_) && SetGerman()) {
        return;
    }
    if (whyNot_.empty()) {
        whyNot_ = "no de_DE.UTF-8 locale here (the package locales provides its sources)";
    }
}

GermanLocale::~GermanLocale() {
    std::setlocale(LC_ALL, "C");
}

} // namespace mirl::test
