// The console: tagged, coloured lines on standard output, written whole by any thread.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/mutex.h"

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
extern Mutex console_mutex;

// Where tagged lines go: standard output unless set otherwise; nullptr sets it back. Taken under
// console_mutex, so a line is written whole to one stream even while the target changes.
void set_console_output(FILE* out) EXCLUDES(console_mutex);

// Writes "<colour> <tag><reset> <text>\n" in one print to the console output and flushes it.
// Tags are five characters.
// Control characters in the text (it may come from the pool) are written as '?': C0, DEL, C1
// (U+0080-U+009F) and bytes 0x80-0x9F that are not part of valid UTF-8.
void log_line(const char* colour, const char* tag, const std::string& text) EXCLUDES(console_mutex);
// `text` with every control character of the kinds above replaced by '?'.
std::string printable_text(std::string_view text);

// Longest pool-supplied text (notice, refusal, rejection reason) shown, in characters.
inline constexpr size_t POOL_TEXT_MAX_CHARS = 200;
// `text` cut after POOL_TEXT_MAX_CHARS characters, with "…" appended when it was longer. A
// character is one UTF-8 sequence or one byte that is not part of one; none is split.
std::string clip_pool_text(std::string_view text);
// The pool client's log sink: a gray "net  " line.
void log_net_line(const std::string& text);
// "%.2f H/s": always hashes per second, two decimals, no scaling or grouping.
std::string format_rate(double rate);

// The ORVO banner with three texts beside rows 2-4. Coloured only when stdout is a terminal,
// NO_COLOR is unset (set-but-empty counts as set) and `color` is true.
void print_banner(const char* title, const char* subtitle, const char* version, bool color);

}  // namespace orvo::qel
