// The process exit codes. Scripts and farm tools tell a refused start from a bad command line by
// these numbers, so they never change.
#pragma once

namespace orvo::qel {

// Help shown, clean stop after a signal, finished benchmark, passed verify run.
inline constexpr int EXIT_OK = 0;
// The run cannot go on: no usable CPU engine, a failed verify run or start-up self-check, a
// benchmark in which no thread could hash.
inline constexpr int EXIT_FAILED = 1;
// The command line is wrong: unknown option, missing value, bad pool port, bad --cpus list, no
// payout address for a mining run.
inline constexpr int EXIT_USAGE = 2;

}  // namespace orvo::qel
