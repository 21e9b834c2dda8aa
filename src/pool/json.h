// The pool's JSON: a small owning document tree and a one-line parser. Outgoing messages are
// built from fixed text, strings escaped with json_escape (base/json_escape.h) and decimal
// numbers; json_text writes a received value back only to show it in a message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_escape.h"

namespace orvo::qel {

enum class JsonKind { null, boolean, number, string, object, array };

struct JsonMember;

struct JsonValue {
    JsonKind kind = JsonKind::null;
    bool flag = false;  // a boolean's value
    double number = 0;  // a number's value: strtod of its token (0 when unreadable)
    std::string text;   // a string's decoded bytes, or a number's token exactly as written
    std::vector<JsonValue> elements;  // array, document order
    std::vector<JsonMember> members;  // object, document order, duplicates kept

    // The value of the first member whose key equals `key` byte for byte; null when there is
    // none or this is not an object. Later duplicates are never consulted.
    const JsonValue* find(std::string_view key) const;
    // The first such member's text when it is a string, else `fallback`.
    std::string get_string(std::string_view key, const std::string& fallback) const;
    // The first such member as an unsigned integer when it is a number written as a plain
    // decimal (optionally with '+'); values above 2^64-1 saturate. Anything else: `fallback`.
    uint64_t get_u64(std::string_view key, uint64_t fallback) const;
};

// One member of an object: its key (escapes decoded) and its value.
struct JsonMember {
    std::string key;
    JsonValue value;
};

// Parses one value (nesting at most 32 levels) surrounded only by optional whitespace (space,
// tab, LF, CR). Returns false on any error; `out` is then unspecified.
bool parse_json(std::string_view input, JsonValue& out);

// A compact JSON text of `value`: no whitespace, members in document order, numbers as their
// original tokens, strings escaped with json_escape.
std::string json_text(const JsonValue& value);

}  // namespace orvo::qel
