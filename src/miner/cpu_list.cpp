#include "miner/cpu_list.h"

#include <errno.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace orvo::qel {

namespace {

// strtol-style reading of one int (optional blanks and sign, decimal digits) at `p`, the way
// "%d" scans. Returns the position after the number, or null when there is no number or it does
// not fit 32 bits.
const char* scan_int(const char* p, int64_t& value) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(p, &end, 10);
    if (end == p) return nullptr;
    if (errno == ERANGE || v < std::numeric_limits<int32_t>::min() ||
        v > std::numeric_limits<int32_t>::max()) {
        return nullptr;
    }
    value = v;
    return end;
}

// One piece of the list: "a-b" or "a" (anything after a lone number is ignored, so "5-" is 5).
// Returns false when a number in it does not fit 32 bits.
bool append_piece(const std::string& piece, std::vector<int32_t>& out) {
    const char* p = piece.c_str();
    int64_t a = 0;
    const char* after_a = scan_int(p, a);
    if (after_a == nullptr) {
        // No number at all adds nothing; a number too large for 32 bits makes the list bad.
        char* end = nullptr;
        std::strtoll(p, &end, 10);
        return end == p;
    }
    int64_t b = 0;
    if (*after_a == '-') {
        const char* after_b = scan_int(after_a + 1, b);
        if (after_b != nullptr) {
            if (a > b) return true;
            if (b - a + 1 > MAX_CPUS_SCANNED - static_cast<int64_t>(out.size())) return false;
            for (int64_t cpu = a; cpu <= b; ++cpu) out.push_back(static_cast<int32_t>(cpu));
            return true;
        }
        char* end = nullptr;
        std::strtoll(after_a + 1, &end, 10);
        if (end != after_a + 1) return false;  // "a-<too large>"
    }
    if (out.size() >= static_cast<size_t>(MAX_CPUS_SCANNED)) return false;
    out.push_back(static_cast<int32_t>(a));
    return true;
}

}  // namespace

std::vector<int32_t> parse_cpu_list(const std::string& text) {
    std::vector<int32_t> cpus;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (!append_piece(text.substr(start, comma - start), cpus)) return {};
        start = comma + 1;
    }
    return cpus;
}

}  // namespace orvo::qel
