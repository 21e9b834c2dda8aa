#include "miner/verify.h"

#include <cstring>
#include <fstream>

#include "app/console.h"
#include "miner/arena.h"
#include "pool/hex.h"

namespace orvo::qel {

namespace {

uint32_t compact_target_of(const uint8_t* header) {
    const uint8_t* p = header + COMPACT_TARGET_OFFSET;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
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

VerifyTally verify_records(std::istream& in, PowHashFn pow_hash, const Arena& arena) {
    VerifyTally tally;
    // A record whose token is too short to decode reuses the previous record's bytes; before the
    // first decoding the buffers are zero.
    uint8_t header[HEADER_BYTES] = {};
    uint8_t expected[HASH_BYTES] = {};
    uint8_t output[HASH_BYTES];
    uint8_t target[32];

    std::string header_hex, hash_hex;
    uint64_t nonce = 0;
    while (in >> header_hex >> nonce >> hash_hex) {
        // A missing or unreadable expectation counts as 0; the stream's failure then ends the
        // loop after this record.
        long long expectation = 0;
        in >> expectation;

        if (header_hex.size() >= 2 * HEADER_BYTES) {
            decode_hex_bytes(header_hex, header, HEADER_BYTES);
        }
        if (hash_hex.size() >= 2 * HASH_BYTES) decode_hex_bytes(hash_hex, expected, HASH_BYTES);

        pow_hash(arena, header, nonce, output);
        ++tally.records;
        if (std::memcmp(output, expected, HASH_BYTES) == 0) ++tally.matches;

        bool usable = expand_compact_target(compact_target_of(header), target);
        bool meets = usable && meets_target(output, target);
        if ((expectation == 1) == meets) ++tally.agreements;
    }
    return tally;
}

VerifyVerdict verify_verdict(const VerifyTally& t) {
    if (t.agreements != t.records) {
        return {false, "target comparison " + std::to_string(t.agreements) + "/" +
                           std::to_string(t.records) + " FAILED"};
    }
    bool passed = t.records > 0 && t.matches == t.records;
    return {passed, "verify " + std::to_string(t.matches) + "/" + std::to_string(t.records) +
                        (passed ? " OK" : " FAILED")};
}

int run_verify(const std::string& path, PowHashFn pow_hash) {
    std::ifstream in(path);  // unopened: reads as an empty file
    Arena arena;
    if (!map_arena(arena)) {
        log_line(palette.red, "mem  ", "cannot allocate 8 MiB");
        return 1;
    }
    VerifyVerdict verdict = verify_verdict(verify_records(in, pow_hash, arena));
    unmap_arena(arena);
    log_line(verdict.passed ? palette.green : palette.red, "check", verdict.text);
    return verdict.passed ? 0 : 1;
}

}  // namespace orvo::qel
