// JSON string text: what the miner writes between double quotes, in the lines it sends the pool
// and in the answers of its HTTP API alike. Only the pool client reads JSON (pool/json.h).
#pragma once

#include <string>
#include <string_view>

namespace orvo::qel {

// The text to place between double quotes: '"', '\\', LF, CR and tab get their short escapes,
// other bytes below 0x20 the form \u00xx, every other byte (0x7F and above included) is kept.
std::string json_escape(std::string_view bytes);

}  // namespace orvo::qel
