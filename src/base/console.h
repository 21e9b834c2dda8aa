// The console: tagged, coloured lines on standard output, written whole by any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
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

// Serialises every tagged line of every thread with changes of the output; held only to queue
// one line. Lines are written by the console writer's own thread: a stalled output never stops a
// thread that logs (lines beyond the writer's queue are dropped and counted, see
// dropped_lines_text).
extern Mutex console_mutex;

// Where tagged lines go: standard output unless set otherwise; nullptr sets it back. Lines
// queued before the change are written (to the old target) before it returns, waiting at most
// CONSOLE_EXIT_WAIT.
void set_console_output(FILE* out) EXCLUDES(console_mutex);

// Queues "<colour> <tag><reset> <text>\n" for the console output; it is written whole, in the
// order the lines were queued. Tags are five characters.
// Control characters in the text (it may come from the pool) are written as '?': C0, DEL, C1
// (U+0080-U+009F) and bytes 0x80-0x9F that are not part of valid UTF-8.
void log_line(const char* colour, const char* tag, const std::string& text) EXCLUDES(console_mutex);
// Queues text that is no tagged line (the banner, the usage, the summary, the shutdown line) for
// standard output, in order with the tagged lines.
void write_console_text(std::string text);
// Queues text for standard error (the refusals of a bad command line), in order with the rest:
// no write of the miner, to either stream, waits on a reader.
void write_console_error(std::string text);
// How long the miner waits, before it exits, for queued console lines to be written.
inline constexpr std::chrono::seconds CONSOLE_EXIT_WAIT{2};
// Waits until every queued line is written, at most `timeout`; false when the output did not
// take them in time (a stalled stream).
bool flush_console(std::chrono::nanoseconds timeout = CONSOLE_EXIT_WAIT);
// The text of the red "out  " line that the console writes, once its output flows again, in
// place of the lines it had to drop: "<n> line(s) dropped: the output did not keep up".
std::string dropped_lines_text(uint64_t dropped);
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
