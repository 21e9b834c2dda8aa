#include "miner/placement_lines.h"

#include <algorithm>

namespace orvo::qel {

std::string placement_line_text(const char* engine_name, int32_t threads, int32_t best,
                                int32_t group_count) {
    return std::string("engine ") + engine_name + " \u00b7 " +
           std::to_string(std::min(best, threads)) +
           " thread(s) pinned by L3 size (best: " + std::to_string(best) + ") \u00b7 " +
           std::to_string(group_count) + " L3 group(s)";
}

std::string auto_line_text(int32_t threads) {
    return std::to_string(threads) + " threads, override with -t <n>";
}

void report_placement(const char* engine_name, int32_t threads, int32_t best, int32_t group_count,
                      bool automatic, const ReportSink& report) {
    report(
        {LineColour::gray, "cpu  ", placement_line_text(engine_name, threads, best, group_count)});
    if (automatic) report({LineColour::gray, "auto ", auto_line_text(threads)});
}

}  // namespace orvo::qel
