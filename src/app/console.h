// The console: tagged, coloured lines on standard output, written whole by any thread.
#pragma once

#include <mutex>
#include <string>

namespace orvo::qel {

// Escape sequences of the tagged lines. All empty until set_console_palette(true); they stay
// empty with --no-color. Set once at start-up before any other thread exists.
struct ConsolePalette {
    const char* gray = "";
    const char* red = "";
    const char* green = "";
    const char* bold = "";
    const char* reset = "";
};
extern ConsolePalette palette;
void set_console_palette(bool color);

// Serialises every tagged line of every thread; held only for one print and its flush.
extern std::mutex console_mutex;

// Writes "<colour> <tag><reset> <text>\n" in one print and flushes. Tags are five characters.
// Control bytes in the text (it may come from the pool) are written as '?'.
void log_line(const char* colour, const char* tag, const std::string& text);
// The pool client's log sink: a gray "net  " line.
void log_net_line(const std::string& text);
// "%.2f H/s": always hashes per second, two decimals, no scaling or grouping.
std::string format_rate(double rate);

// The ORVO banner with three texts beside rows 2-4. Coloured only when stdout is a terminal,
// NO_COLOR is unset (set-but-empty counts as set) and `color` is true.
void print_banner(const char* title, const char* subtitle, const char* version, bool color);

}  // namespace orvo::qel
