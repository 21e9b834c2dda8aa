// Fuzzes the verify-file reader: any bytes as a vector file, hashed with a stand-in hash that is
// cheap and deterministic, so that records can be written to match or not.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "miner/verify.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Output byte i is header byte i mixed with one byte of the nonce; the arena is never touched.
void stand_in_hash(const orvo::qel::Arena&, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    for (size_t i = 0; i < orvo::qel::HASH_BYTES; ++i) {
        out[i] = static_cast<uint8_t>(header[i] ^ (nonce >> (8 * (i % 8))));
    }
}

// The shortest record: a 224-digit header, a one-digit nonce and a 64-digit hash, separated by
// at least one blank each; the expectation may be missing at the end of the file.
constexpr size_t SHORTEST_RECORD = 224 + 1 + 1 + 1 + 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace orvo::qel;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    const RunControl stop;
    const Arena arena{};
    const VerifyTally tally = verify_records(in, stand_in_hash, arena, stop);
    check(!tally.stopped);
    check(tally.matches <= tally.records);
    check(tally.agreements <= tally.records);
    check(static_cast<size_t>(tally.records) * SHORTEST_RECORD <= size);

    const VerifyVerdict verdict = verify_verdict(tally);
    check(!verdict.text.empty());
    if (verdict.passed) {
        check(tally.records > 0 && tally.matches == tally.records &&
              tally.agreements == tally.records && tally.unreadable.empty());
    }

    // The compact target of the first four bytes: an unusable one is all zero, a usable one
    // holds the mantissa's three bytes at most.
    if (size >= 4) {
        const uint32_t compact =
            static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
            static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
        uint8_t target[32];
        const bool usable = expand_compact_target(compact, target);
        size_t nonzero = 0;
        for (uint8_t b : target) nonzero += b != 0;
        check(usable ? nonzero <= 3 : nonzero == 0);
        check(!usable ||
              ((compact & 0x800000u) == 0 && (compact & 0x7FFFFFu) != 0 && (compact >> 24) <= 32));
    }
    return 0;
}
