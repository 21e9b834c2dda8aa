// A console line that a layer below app hands up instead of printing it: the lower layers say
// what happened, and app decides where it goes (the console in the miner, a list in tests).
#pragma once

#include <functional>
#include <string>

namespace orvo::qel {

// The palette colour the line is meant for.
enum class LineColour { gray, red, green };

struct ReportLine {
    LineColour colour;
    const char* tag;  // five characters, e.g. "check"
    std::string text;
};

// Takes report lines. Hashing threads call it concurrently, so it must be safe to call from
// several threads at once (log_report_line is).
using ReportSink = std::function<void(const ReportLine&)>;

// Writes the line with log_line in its palette colour.
void log_report_line(const ReportLine& line);

}  // namespace orvo::qel
