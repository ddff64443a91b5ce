#pragma once

#include "engine/run_record.h"

#include <string>

namespace mirl {

// The run's report as a German PDF of one or two pages at `path`, made with Qt alone: first under
// a name of its own next to it, then renamed, so that no half-written report is ever found. False
// when it could not be written. The window is kept alive meanwhile.
bool WriteRunReportPdf(const RunRecord& record, const std::string& path);

// The report as the HTML that the PDF is laid out from (for tests of its contents).
std::string RunReportHtml(const RunRecord& record);

} // namespace mirl
