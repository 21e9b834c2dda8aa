#include "app/pause_lines.h"

#include <cstdio>

namespace orvo::qel {

std::string pause_duration_text(std::chrono::seconds duration) {
    const long long s = duration.count() < 0 ? 0 : duration.count();
    char text[48];
    if (s < 60) {
        std::snprintf(text, sizeof text, "%lld s", s);
    } else if (s < 3600) {
        std::snprintf(text, sizeof text, "%lld min %02lld s", s / 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld h %02lld min", s / 3600, s % 3600 / 60);
    }
    return text;
}

void PauseLines::update(PauseReasons reasons, Clock::time_point now,
                        const std::string& temperature_why, const ReportSink& report) {
    if (reasons == shown_) return;
    const PauseReasons before = shown_;
    shown_ = reasons;
    if (reasons == 0) {
        report({LineColour::gray, "pause",
                "hashing resumed after " +
                    pause_duration_text(
                        std::chrono::duration_cast<std::chrono::seconds>(now - paused_at_))});
        return;
    }
    if (before == 0) paused_at_ = now;
    std::string why = pause_reasons_text(reasons);
    const bool hot = (reasons & static_cast<PauseReasons>(PauseReason::temperature)) != 0;
    if (hot && !temperature_why.empty()) why += ": " + temperature_why;
    report({hot ? LineColour::red : LineColour::gray, "pause",
            (before == 0 ? "hashing paused \u2014 " : "hashing still paused \u2014 ") + why});
}

}  // namespace orvo::qel
