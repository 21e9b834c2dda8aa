// Fuzzes the JSON parser and checks the invariants that must hold for every accepted document.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "pool/json.h"

namespace {

using orvo::qel::JsonKind;
using orvo::qel::JsonValue;

void check(bool condition) {
    if (!condition) std::abort();
}

// Every string must survive escaping and re-parsing unchanged; accessors must not crash.
void walk(const JsonValue& v, int depth) {
    check(depth <= 32);
    if (v.kind == JsonKind::string) {
        JsonValue again;
        check(orvo::qel::parse_json("\"" + orvo::qel::json_escape(v.text) + "\"", again));
        check(again.kind == JsonKind::string && again.text == v.text);
    }
    if (v.kind == JsonKind::number) check(!v.text.empty());
    for (const auto& e : v.elements) walk(e, depth + 1);
    for (const auto& [key, value] : v.members) {
        check(v.find(key) != nullptr);
        (void)v.get_u64(key, 0);
        (void)v.get_string(key, "");
        walk(value, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    JsonValue value;
    if (orvo::qel::parse_json(input, value)) walk(value, 1);
    return 0;
}
