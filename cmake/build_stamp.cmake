# Writes the build time (local wall clock, to the minute) as a source file; rewritten only when the
# minute changes, so that an unchanged build does not relink for it.
string(TIMESTAMP year "%Y")
string(TIMESTAMP month "%m")
string(TIMESTAMP day "%d")
string(TIMESTAMP hour "%H")
string(TIMESTAMP minute "%M")
# A leading zero would make the literal octal; "00" must stay one zero.
foreach(field month day hour minute)
    string(REGEX REPLACE "^0([0-9])$" "\\1" ${field} "${${field}}")
endforeach()
set(content "// Generated at build time; do not edit.
#include \"runtime/dates.h\"
#include \"shell/build_stamp.h\"

namespace mirl {

int32_t BuildDate() {
    return DateFromFields(${year}, ${month}, ${day}, ${hour}, ${minute}, 0);
}

} // namespace mirl
")
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT "${old}" STREQUAL "${content}")
    file(WRITE "${OUTPUT}" "${content}")
endif()
