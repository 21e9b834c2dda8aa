// The self-check of the installed hash against a file of known answers.
//
// The file is a stream of white-space-separated tokens, four per record:
//   header hex (>= 224 digits; the first 224 are the 112 header bytes, first pair = byte 0)
//   nonce (unsigned decimal, 64 bits)
//   expected hash hex (>= 64 digits; the first 64 are the 32 hash bytes in output order)
//   expectation (signed decimal; 1 = the hash meets the compact target in header bytes 108-111)
// A record that cannot be read (a malformed or over-long token, or too few tokens at the end of
// the file; only the expectation may be missing there, and then counts as 0) fails the run and
// ends it: after it the file's record boundaries are unknown.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

#include "base/report_line.h"
#include "base/run_control.h"
#include "miner/hasher.h"
#include "pow/pow_hash.h"

namespace orvo::qel {

// Header bytes 108-111 hold the compact target, least significant byte first.
inline constexpr size_t COMPACT_TARGET_OFFSET = 108;

// Fills out[0..n) from pairs of hex digits (either case), text position 2i giving byte i. A pair
// whose first character is not a hex digit (or lies past the end) stops decoding; that byte and
// the later ones keep their values. A lone digit before a non-digit gives that digit's value.
// Returns 1 when the last pair looked at was converted, 0 when it stopped decoding.
int decode_hex_bytes(const std::string& text, uint8_t* out, size_t n);

// Expands a compact target (mantissa in bits 0-22, sign in bit 23, byte exponent in bits 24-31)
// into a 32-byte big-endian target: mantissa * 256^(exponent - 3), truncated to whole bytes for
// exponents below 3. Returns false, with an all-zero target, when the sign bit is set, the
// mantissa is zero or the exponent is above 32: such a target is never met.
bool expand_compact_target(uint32_t compact, uint8_t target[32]);

// No token is longer: the longest well-formed one (a header of 224 digits with ignored
// characters after them) stays far below, and reading never buffers more than this.
inline constexpr size_t MAX_VERIFY_TOKEN = 4096;

struct VerifyTally {
    uint32_t records = 0;     // records hashed
    uint32_t matches = 0;     // hash equal to the expected one
    uint32_t agreements = 0;  // target test agreeing with the expectation
    // Why the record after the hashed ones could not be read ("record N: ..."); empty when the
    // file was read to its end.
    std::string unreadable;
    bool stopped = false;  // `stop` ended the run before the file's end
};
// Hashes every record of `in` and counts the outcomes, until the end of the input, the first
// unreadable record, or `stop` (looked at before every record and while reading, so a stop
// request waits for at most one group of hashes). Records are hashed in groups side by side,
// group i in arenas[0..size): of `intensity` records each (1..MAX_INTENSITY), or, with 0, of
// 1, 2, ..., MAX_INTENSITY, 1, 2, ... records in turn, so that one file checks every intensity
// a run may choose. `arenas` holds as many arenas as the largest group. The records read before
// an unreadable one are hashed; those read before a stop are not.
VerifyTally verify_records(std::istream& in, const Hasher& engine, const Arena* arenas,
                           int32_t intensity, const RunControl& stop);
// One record at a time, in `arena`.
VerifyTally verify_records(std::istream& in, PowHashFn pow_hash, const Arena& arena,
                           const RunControl& stop);

struct VerifyVerdict {
    bool passed = false;
    std::string text;  // the "check" line
};
// A stopped run is "verify M/R stopped". Otherwise target disagreements are reported first; an
// unreadable record counts as a record that does not match; a pass needs at least one record,
// all matching.
VerifyVerdict verify_verdict(const VerifyTally& tally);

// The whole mode. Only a regular file is read, and it is opened without blocking: a missing
// file, a directory, a FIFO or a device is named on a red "check" line and the run fails with
// "verify 0/0 FAILED". An unreadable record is named on a red "check" line before the verdict.
// Reports the verdict "check" line (green on a pass, red otherwise) or the red "mem  " line when
// the arenas cannot be mapped. Returns the exit status: EXIT_OK passed, EXIT_FAILED failed or
// stopped (base/exit_code.h).
int run_verify(const std::string& path, const Hasher& engine, int32_t intensity,
               const RunControl& stop, const ReportSink& report);
// One record at a time.
int run_verify(const std::string& path, PowHashFn pow_hash, const RunControl& stop,
               const ReportSink& report);

}  // namespace orvo::qel
