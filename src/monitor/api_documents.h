// The documents the HTTP endpoint serves: each a pure function of one snapshot.
#pragma once

#include <string>

#include "monitor/api_snapshot.h"

namespace orvo::qel {

// A rate as the speed line shows it: two decimals, "." whatever the environment (the miner never
// switches to the user's locale).
std::string two_decimals(double value);
// A temperature: one decimal, "." whatever the environment.
std::string one_decimal(double value);

// GET /api/v1/summary: one JSON object (members documented in the README).
std::string format_summary_json(const ApiSnapshot& s);
// POST /api/v1/pause and /resume: {"paused":true,"reasons":["api","temperature"]}, the reasons
// that hold in PAUSE_REASONS order.
std::string format_pause_state_json(PauseReasons reasons);
// GET /api/v1/history: the rate history, one sample a second, oldest first and the newest
// taken at "taken_unix_ms": the run's total and every thread's.
std::string format_history_json(const ApiSnapshot& s);
// GET /metrics: Prometheus text exposition format 0.0.4.
std::string format_metrics(const ApiSnapshot& s);
// GET /mmpos: the object mmpOS's agent reads from a miner it polls.
std::string format_mmpos_json(const ApiSnapshot& s);

}  // namespace orvo::qel
