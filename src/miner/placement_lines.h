// The start-up lines that say where the hashing threads run.
#pragma once

#include <cstdint>
#include <string>

#include "base/report_line.h"

namespace orvo::qel {

// "engine <name> · <pinned> thread(s) pinned by L3 size (best: <best>) · <groups> L3 group(s)",
// with pinned = min(best, threads).
std::string placement_line_text(const char* engine_name, int32_t threads, int32_t best,
                                int32_t group_count);
// "<threads> threads, override with -t <n>"
std::string auto_line_text(int32_t threads);
// The gray "cpu  " line, then the gray "auto " line when the count was automatic.
void report_placement(const char* engine_name, int32_t threads, int32_t best, int32_t group_count,
                      bool automatic, const ReportSink& report);

}  // namespace orvo::qel
