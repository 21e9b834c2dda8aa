#include "base/report_line.h"

#include "base/console.h"

namespace orvo::qel {

void log_report_line(const ReportLine& line) {
    const char* colour = palette.gray;
    if (line.colour == LineColour::red) colour = palette.red;
    if (line.colour == LineColour::green) colour = palette.green;
    log_line(colour, line.tag, line.text);
}

}  // namespace orvo::qel
