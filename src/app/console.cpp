#include "app/console.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace orvo::qel {

ConsolePalette palette;
std::mutex console_mutex;

void set_console_palette(bool color) {
    if (color) {
        palette = {"\033[90m", "\033[31m", "\033[32m", "\033[1m", "\033[0m"};
    } else {
        palette = {};
    }
}

namespace {

// Texts can carry what a pool sent (rejection reasons, notices, login errors). A control byte
// there could move the cursor, recolour the terminal or start a fake line, so each one is shown
// as '?'; the line stays one line. Bytes from 0x80 up (UTF-8) pass unchanged.
std::string printable_text(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = '?';
    }
    return out;
}

}  // namespace

void log_line(const char* colour, const char* tag, const std::string& text) {
    const std::string shown = printable_text(text);
    std::lock_guard<std::mutex> lock(console_mutex);
    std::printf("%s %s%s %s\n", colour, tag, palette.reset, shown.c_str());
    std::fflush(stdout);
}

void log_net_line(const std::string& text) { log_line(palette.gray, "net  ", text); }

std::string format_rate(double rate) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f H/s", rate);
    return buf;
}

namespace {

// ORVO in block letters: strokes in full blocks, shadows to the right and below in box-drawing
// characters. Every row has the same display width, so the texts beside rows 2-4 line up.
constexpr const char* BANNER_ROWS[6] = {
    " ██████╗ ██████╗ ██╗   ██╗ ██████╗ ",
    "██╔═══██╗██╔══██╗██║   ██║██╔═══██╗",
    "██║   ██║██████╔╝██║   ██║██║   ██║",
    "██║   ██║██╔══██╗╚██╗ ██╔╝██║   ██║",
    "╚██████╔╝██║  ██║ ╚████╔╝ ╚██████╔╝",
    " ╚═════╝ ╚═╝  ╚═╝  ╚═══╝   ╚═════╝ ",
};

}  // namespace

void print_banner(const char* title, const char* subtitle, const char* version, bool color) {
    const bool on = color && isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr;
    const char* art = on ? "\033[1m\033[38;2;255;77;0m" : "";
    const char* text = on ? "\033[1m\033[38;2;237;232;219m" : "";
    const char* ver = on ? "\033[38;2;163;157;144m" : "";
    const char* reset = on ? "\033[0m" : "";

    std::printf("\n");
    for (int row = 0; row < 6; ++row) {
        std::printf("%s  %s%s", art, BANNER_ROWS[row], reset);
        if (row == 1) std::printf("   %s%s%s", text, title, reset);
        if (row == 2) std::printf("   %s%s%s", text, subtitle, reset);
        if (row == 3) std::printf("   %s%s%s", ver, version, reset);
        std::printf("\n");
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace orvo::qel
