#include "base/console.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "base/console_writer.h"

namespace orvo::qel {

ConsolePalette palette;
Mutex console_mutex;

namespace {

FILE* console_output GUARDED_BY(console_mutex) = nullptr;  // nullptr means stdout

std::string tagged_line(const char* colour, const char* tag, const std::string& text) {
    std::string line = colour;
    line += ' ';
    line += tag;
    line += palette.reset;
    line += ' ';
    line += text;
    line += '\n';
    return line;
}

// The one writer of the process. Never destroyed: threads may log until the process ends, and
// the writer may still be writing (or stuck on a stalled stream) when main returns.
ConsoleWriter& console_writer() {
    static ConsoleWriter* writer = new ConsoleWriter(CONSOLE_QUEUE_LINES, [](uint64_t dropped) {
        return tagged_line(palette.red, "out  ", dropped_lines_text(dropped));
    });
    return *writer;
}

}  // namespace

void set_console_output(FILE* out) {
    {
        MutexLock lock(console_mutex);
        console_output = out;
    }
    flush_console();
}

bool flush_console(std::chrono::nanoseconds timeout) {
    return console_writer().flush(timeout);
}

void write_console_text(std::string text) {
    console_writer().write(STDOUT_FILENO, std::move(text));
}

void write_console_error(std::string text) {
    console_writer().write(STDERR_FILENO, std::move(text));
}

std::string dropped_lines_text(uint64_t dropped) {
    return std::to_string(dropped) + " line(s) dropped: the output did not keep up";
}

void set_console_palette(bool color) {
    if (color) {
        palette = {"\033[90m", "\033[31m", "\033[32m", "\033[1m", "\033[0m"};
    } else {
        palette = {};
    }
}

namespace {

// Length of the valid UTF-8 sequence at text[at], or 0 when the byte there does not start one
// (overlong forms, surrogates and code points above U+10FFFF are not valid).
size_t utf8_sequence_length(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b0 = byte(at);
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (at + len > text.size()) return 0;
    if (byte(at + 1) < lo || byte(at + 1) > hi) return 0;
    for (size_t i = 2; i < len; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return len;
}

// Length of the character at text[at]: a whole UTF-8 sequence, else the single byte.
size_t character_length(std::string_view text, size_t at) {
    const size_t len = utf8_sequence_length(text, at);
    return len == 0 ? 1 : len;
}

}  // namespace

// Texts can carry what a pool sent (rejection reasons, notices, login errors). A control
// character there could move the cursor, recolour the terminal or start a fake line: C0 and DEL
// do it in every terminal, C1 (U+0080-U+009F, e.g. U+009B is CSI) in UTF-8 terminals, and the
// bare bytes 0x80-0x9F in 8-bit ones. Each is shown as one '?', so the line stays one line;
// every other byte passes unchanged.
std::string printable_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[at]);
        const size_t len = utf8_sequence_length(text, at);
        if (len == 2 && b == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F) {
            out.push_back('?');  // U+0080-U+009F
        } else if (len > 0) {
            out.append(text.substr(at, len));
        } else if (b < 0x20 || b == 0x7F || (b >= 0x80 && b <= 0x9F)) {
            out.push_back('?');
        } else {
            out.push_back(static_cast<char>(b));
        }
        at += len == 0 ? 1 : len;
    }
    return out;
}

std::string clip_pool_text(std::string_view text) {
    size_t at = 0;
    for (size_t chars = 0; at < text.size(); ++chars) {
        if (chars == POOL_TEXT_MAX_CHARS) return std::string(text.substr(0, at)) + "\xE2\x80\xA6";
        at += character_length(text, at);
    }
    return std::string(text);
}

void log_line(const char* colour, const char* tag, const std::string& text) {
    std::string line = tagged_line(colour, tag, printable_text(text));
    MutexLock lock(console_mutex);
    console_writer().write(console_output != nullptr ? fileno(console_output) : STDOUT_FILENO,
                           std::move(line));
}

void log_net_line(const std::string& text) {
    log_line(palette.gray, "net  ", text);
}

std::string format_rate(double rate) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f H/s", rate);
    return buf;
}

namespace {

// ORVO in block letters: strokes in full blocks, shadows to the right and below in box-drawing
// characters. Every row has the same display width, so the texts beside rows 2-4 line up.
constexpr const char* BANNER_ROWS[6] = {
    " ██████╗ ██████╗ ██╗   ██╗ ██████╗ ", "██╔═══██╗██╔══██╗██║   ██║██╔═══██╗",
    "██║   ██║██████╔╝██║   ██║██║   ██║", "██║   ██║██╔══██╗╚██╗ ██╔╝██║   ██║",
    "╚██████╔╝██║  ██║ ╚████╔╝ ╚██████╔╝", " ╚═════╝ ╚═╝  ╚═╝  ╚═══╝   ╚═════╝ ",
};

}  // namespace

void print_banner(const char* title, const char* subtitle, const char* version, bool color) {
    const bool on = color && isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr;
    const char* art = on ? "\033[1m\033[38;2;255;77;0m" : "";
    const char* text = on ? "\033[1m\033[38;2;237;232;219m" : "";
    const char* ver = on ? "\033[38;2;163;157;144m" : "";
    const char* reset = on ? "\033[0m" : "";

    // Through the console's writer like every other line: standard output may be a pipe that
    // nobody reads from the first byte on.
    std::string banner = "\n";
    for (int row = 0; row < 6; ++row) {
        banner += std::string(art) + "  " + BANNER_ROWS[row] + reset;
        const char* beside[6] = {nullptr, title, subtitle, version, nullptr, nullptr};
        if (beside[row] != nullptr) {
            banner += std::string("   ") + (row == 3 ? ver : text) + beside[row] + reset;
        }
        banner += "\n";
    }
    banner += "\n";
    write_console_text(std::move(banner));
}

}  // namespace orvo::qel
