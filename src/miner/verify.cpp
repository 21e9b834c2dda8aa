#include "miner/verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <streambuf>
#include <string_view>

#include "base/exit_code.h"
#include "base/hex.h"
#include "miner/arena.h"

namespace orvo::qel {

namespace {

// A stop request is also looked at after this many characters of one read, so that neither a
// long run of white space nor a long token holds the run.
constexpr size_t STOP_CHECK_CHARS = 1 << 16;

bool is_space(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum class TokenRead { ok, end, too_long, stopped };

// The next white-space-separated token, at most MAX_VERIFY_TOKEN characters.
TokenRead next_token(std::streambuf& in, std::string& token, const RunControl& stop) {
    using Traits = std::streambuf::traits_type;
    token.clear();
    size_t since_check = 0;
    for (;;) {
        if (++since_check == STOP_CHECK_CHARS) {
            since_check = 0;
            if (stop.stop_requested()) return TokenRead::stopped;
        }
        int c = in.sgetc();
        if (c == Traits::eof()) return token.empty() ? TokenRead::end : TokenRead::ok;
        if (is_space(c)) {
            if (!token.empty()) return TokenRead::ok;
        } else {
            if (token.size() == MAX_VERIFY_TOKEN) return TokenRead::too_long;
            token.push_back(static_cast<char>(c));
        }
        in.sbumpc();
    }
}

// Hex text whose first 2n characters are n bytes; later characters are ignored.
bool decode_leading_hex(const std::string& token, uint8_t* out, size_t n) {
    return token.size() >= 2 * n &&
           decode_hex_exact(std::string_view(token).substr(0, 2 * n), out, n);
}

// Decimal digits only, within 64 bits.
bool parse_nonce(const std::string& token, uint64_t& nonce) {
    if (token.empty()) return false;
    uint64_t value = 0;
    for (char c : token) {
        if (c < '0' || c > '9') return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    nonce = value;
    return true;
}

// A signed decimal integer of any length; sets `is_one` when its value is 1.
bool parse_expectation(const std::string& token, bool& is_one) {
    size_t at = token.empty() || (token[0] != '+' && token[0] != '-') ? 0 : 1;
    if (at == token.size()) return false;
    for (size_t i = at; i < token.size(); ++i) {
        if (token[i] < '0' || token[i] > '9') return false;
    }
    size_t first = token.find_first_not_of('0', at);
    is_one = token[0] != '-' && first == token.size() - 1 && token[first] == '1';
    return true;
}

uint32_t compact_target_of(const uint8_t* header) {
    const uint8_t* p = header + COMPACT_TARGET_OFFSET;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The verify file as a stream; a read error ends it like the end of the file and is kept.
class FileReader : public std::streambuf {
  public:
    explicit FileReader(int fd) : fd_(fd) {}
    int error() const { return error_; }

  protected:
    int_type underflow() override {
        ssize_t n;
        do {
            n = read(fd_, buffer_, sizeof buffer_);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            if (n < 0) error_ = errno;
            return traits_type::eof();
        }
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(buffer_[0]);
    }

  private:
    int fd_;
    int error_ = 0;
    char buffer_[1 << 16];
};

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "it is a directory";
    if (S_ISFIFO(mode)) return "it is a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device";
    return "it is not a regular file";
}

// Opens `path` for reading only when it is a regular file. Neither the check nor the open can
// block: a FIFO or a device is refused before it is opened, and the open itself does not wait
// (O_NONBLOCK) should the path be swapped for one in between. Returns -1 with the reason.
int open_regular_file(const std::string& path, std::string& why) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        why = kind_of(st.st_mode);
        return -1;
    }
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = S_ISREG(st.st_mode) ? std::strerror(errno) : kind_of(st.st_mode);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int decode_hex_bytes(const std::string& text, uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        size_t pos = 2 * i;
        int high = pos < text.size() ? hex_digit_value(text[pos]) : -1;
        if (high < 0) return 0;
        int low = pos + 1 < text.size() ? hex_digit_value(text[pos + 1]) : -1;
        out[i] = static_cast<uint8_t>(low < 0 ? high : high * 16 + low);
    }
    return n > 0 ? 1 : 0;
}

bool expand_compact_target(uint32_t compact, uint8_t target[32]) {
    std::memset(target, 0, 32);
    if (compact & 0x800000u) return false;
    uint32_t exponent = compact >> 24;
    uint32_t mantissa = compact & 0x7FFFFFu;
    if (mantissa == 0 || exponent > 32) return false;
    // The mantissa's three bytes go to big-endian positions 32-e, 33-e and 34-e; those past the
    // last byte are cut off, which truncates targets with exponents below 3.
    const uint8_t bytes[3] = {static_cast<uint8_t>(mantissa >> 16),
                              static_cast<uint8_t>(mantissa >> 8), static_cast<uint8_t>(mantissa)};
    for (uint32_t k = 0; k < 3; ++k) {
        uint32_t index = 32 - exponent + k;
        if (index <= 31) target[index] = bytes[k];
    }
    return true;
}

VerifyTally verify_records(std::istream& in, const Hasher& engine, const Arena* arenas,
                           int32_t intensity, const RunControl& stop) {
    VerifyTally tally;
    std::streambuf& source = *in.rdbuf();
    // The group being read: its records' inputs, expected hashes and expectations.
    uint8_t headers[MAX_INTENSITY][HEADER_BYTES];
    const uint8_t* header_of[MAX_INTENSITY];
    uint64_t nonces[MAX_INTENSITY];
    uint8_t expected[MAX_INTENSITY][HASH_BYTES];
    bool expects_meet[MAX_INTENSITY];
    uint8_t outputs[MAX_INTENSITY][HASH_BYTES];
    for (int32_t i = 0; i < MAX_INTENSITY; ++i) header_of[i] = headers[i];
    int32_t group_size = intensity > 0 ? std::min(intensity, MAX_INTENSITY) : 1;
    int32_t pending = 0;
    uint8_t target[32];
    std::string token;

    auto unreadable = [&](const std::string& why) {
        tally.unreadable = "record " +
                           std::to_string(tally.records + static_cast<uint32_t>(pending) + 1) +
                           ": " + why;
    };
    // The next token of the current record; anything but `ok` or `end` also records why the
    // run ends.
    auto read = [&](const char* name) {
        TokenRead r = next_token(source, token, stop);
        if (r == TokenRead::stopped) tally.stopped = true;
        if (r == TokenRead::too_long) {
            unreadable(std::string(name) + " is longer than " + std::to_string(MAX_VERIFY_TOKEN) +
                       " characters");
        }
        return r;
    };
    // Inside a record the file must go on.
    auto read_inside = [&](const char* name) {
        TokenRead r = read(name);
        if (r == TokenRead::end) unreadable(std::string("the file ends before ") + name);
        return r == TokenRead::ok;
    };
    auto hash_group = [&] {
        if (pending == 0) return;
        engine.hash(arenas, header_of, nonces, outputs, pending);
        for (int32_t i = 0; i < pending; ++i) {
            ++tally.records;
            if (std::memcmp(outputs[i], expected[i], HASH_BYTES) == 0) ++tally.matches;
            bool usable = expand_compact_target(compact_target_of(headers[i]), target);
            bool meets = usable && meets_target(outputs[i], target);
            if (expects_meet[i] == meets) ++tally.agreements;
        }
        pending = 0;
        if (intensity <= 0) group_size = group_size % MAX_INTENSITY + 1;
    };

    for (;;) {
        if (stop.stop_requested()) {
            tally.stopped = true;
            break;
        }
        if (read("the header") != TokenRead::ok) break;
        if (!decode_leading_hex(token, headers[pending], HEADER_BYTES)) {
            unreadable("the header does not start with 224 hex digits");
            break;
        }
        if (!read_inside("the nonce")) break;
        if (!parse_nonce(token, nonces[pending])) {
            unreadable("the nonce is not an unsigned 64-bit decimal number");
            break;
        }
        if (!read_inside("the expected hash")) break;
        if (!decode_leading_hex(token, expected[pending], HASH_BYTES)) {
            unreadable("the expected hash does not start with 64 hex digits");
            break;
        }
        // The last record of a file may leave out its expectation, which then counts as 0.
        expects_meet[pending] = false;
        TokenRead r = read("the expectation");
        if (r == TokenRead::stopped || r == TokenRead::too_long) break;
        const bool last = r == TokenRead::end;
        if (!last && !parse_expectation(token, expects_meet[pending])) {
            unreadable("the expectation is not a decimal integer");
            break;
        }
        ++pending;
        if (pending == group_size || last) hash_group();
        if (last) break;
    }
    if (!tally.stopped) hash_group();
    // A stop that came during the last hash still keeps the run from passing.
    if (stop.stop_requested()) tally.stopped = true;
    return tally;
}

VerifyTally verify_records(std::istream& in, PowHashFn pow_hash, const Arena& arena,
                           const RunControl& stop) {
    return verify_records(in, Hasher{pow_hash, nullptr}, &arena, 1, stop);
}

VerifyVerdict verify_verdict(const VerifyTally& t) {
    const std::string counts = std::to_string(t.matches) + "/";
    if (t.stopped) return {false, "verify " + counts + std::to_string(t.records) + " stopped"};
    if (t.agreements != t.records) {
        return {false, "target comparison " + std::to_string(t.agreements) + "/" +
                           std::to_string(t.records) + " FAILED"};
    }
    const uint32_t total = t.records + (t.unreadable.empty() ? 0 : 1);
    bool passed = total > 0 && t.matches == total;
    return {passed, "verify " + counts + std::to_string(total) + (passed ? " OK" : " FAILED")};
}

int run_verify(const std::string& path, PowHashFn pow_hash, const RunControl& stop,
               const ReportSink& report) {
    return run_verify(path, Hasher{pow_hash, nullptr}, 1, stop, report);
}

int run_verify(const std::string& path, const Hasher& engine, int32_t intensity,
               const RunControl& stop, const ReportSink& report) {
    std::string why;
    int fd = open_regular_file(path, why);
    if (fd < 0) {
        report({LineColour::red, "check", "cannot read " + path + ": " + why});
        report({LineColour::red, "check", verify_verdict(VerifyTally{}).text});
        return EXIT_FAILED;
    }
    Arena arenas[MAX_INTENSITY];
    const int32_t needed = intensity > 0 ? std::min(intensity, MAX_INTENSITY) : MAX_INTENSITY;
    for (int32_t i = 0; i < needed; ++i) {
        if (map_arena(arenas[i])) continue;
        for (Arena& arena : arenas) unmap_arena(arena);
        close(fd);
        report({LineColour::red, "mem  ",
                needed == 1 ? std::string("cannot allocate 8 MiB")
                            : "cannot allocate " + std::to_string(needed) + " arenas of 8 MiB"});
        return EXIT_FAILED;
    }
    FileReader reader(fd);
    std::istream in(&reader);
    VerifyTally tally = verify_records(in, engine, arenas, intensity, stop);
    for (Arena& arena : arenas) unmap_arena(arena);
    close(fd);
    if (reader.error() != 0 && !tally.stopped && tally.unreadable.empty()) {
        // Only the records before the error were read: the file is not checked to its end.
        tally.unreadable = "record " + std::to_string(tally.records + 1) + ": " +
                           "reading failed (" + std::strerror(reader.error()) + ")";
    }
    if (!tally.unreadable.empty() && !tally.stopped) {
        report({LineColour::red, "check", tally.unreadable});
    }
    VerifyVerdict verdict = verify_verdict(tally);
    report({verdict.passed ? LineColour::green : LineColour::red, "check", verdict.text});
    return verdict.passed ? EXIT_OK : EXIT_FAILED;
}

}  // namespace orvo::qel
