#include "fault/fault_location.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace mirl {
namespace {

struct DwflEnd {
    void operator()(Dwfl* dwfl) const { dwfl_end(dwfl); }
};

struct SourceLine {
    std::string file;
    int32_t line = 0;
};

// The folders of the shell and the engine, as the build knows them: a checkout whose own path holds
// "/src/shell/" somewhere must not make a library's line the program's. The report's own room is
// not among them.
bool IsProgramSource(const std::string& file) {
    const std::string folders = MIRL_PROGRAM_SOURCES;
    for (size_t from = 0; from < folders.size();) {
        const size_t end = std::min(folders.find(':', from), folders.size());
        if (file.starts_with(folders.substr(from, end - from))) {
            return true;
        }
        from = end + 1;
    }
    return false;
}

// The source lines of one address, innermost first: its own line, then the call lines of the
// functions inlined into each other there.
std::vector<SourceLine> LinesAt(Dwfl* dwfl, Dwarf_Addr address) {
    std::vector<SourceLine> lines;
    Dwfl_Module* module = dwfl_addrmodule(dwfl, address);
    if (module == nullptr) {
        return lines;
    }
    if (Dwfl_Line* line = dwfl_module_getsrc(module, address)) {
        int number = 0;
        if (const char* file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr)) {
            lines.push_back({file, number});
        }
    }
    Dwarf_Addr bias = 0;
    Dwarf_Die* unit = dwfl_module_addrdie(module, address, &bias);
    if (unit == nullptr) {
        return lines;
    }
    Dwarf_Files* files = nullptr;
    size_t fileCount = 0;
    dwarf_getsrcfiles(unit, &files, &fileCount);
    Dwarf_Die* scopes = nullptr;
    const int scopeCount = dwarf_getscopes(unit, address - bias, &scopes);
    for (int i = 0; i < scopeCount; ++i) {
        if (dwarf_tag(&scopes[i]) != DW_TAG_inlined_subroutine) {
            continue;
        }
        Dwarf_Attribute attribute;
        Dwarf_Word callFile = 0;
        Dwarf_Word callLine = 0;
        if (dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_file, &attribute), &callFile) != 0 ||
            dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_line, &attribute), &callLine) != 0) {
            continue;
        }
        const char* file = files != nullptr ? dwarf_filesrc(files, callFile, nullptr, nullptr) : nullptr;
        if (file != nullptr) {
            lines.push_back({file, static_cast<int32_t>(callLine)});
        }
    }
    std::free(scopes);
    return lines;
}

} // namespace

int32_t ProgramLineOf(uintptr_t pc, const std::vector<uintptr_t>& frames) {
    static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr, nullptr};
    std::unique_ptr<Dwfl, DwflEnd> dwfl(dwfl_begin(&callbacks));
    if (dwfl == nullptr || dwfl_linux_proc_report(dwfl.get(), getpid()) != 0 ||
        dwfl_report_end(dwfl.get(), nullptr, nullptr) != 0) {
        return 0;
    }
    // The faulting instruction itself, then the callers: a return address lies after its call, so
    // the call's line is that of the address before it.
    std::vector<Dwarf_Addr> addresses{pc};
    size_t first = 0;
    while (first < frames.size() && frames[first] != pc) {
        ++first;
    }
    first = first < frames.size() ? first + 1 : 0;
    for (size_t i = first; i < frames.size(); ++i) {
        addresses.push_back(frames[i] - 1);
    }
    for (const Dwarf_Addr address : addresses) {
        for (const SourceLine& line : LinesAt(dwfl.get(), address)) {
            if (IsProgramSource(line.file)) {
                return line.line;
            }
        }
    }
    return 0;
}

} // namespace mirl
