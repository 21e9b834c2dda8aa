#include "pool/json.h"

#include <cstdlib>
#include <optional>

#include "base/hex.h"

namespace orvo::qel {
namespace {

constexpr int MAX_DEPTH = 32;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_number_byte(char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

// Reads four hex digits at p (the caller guarantees they are in range); -1 if one is not hex.
std::optional<char32_t> read_code_unit(const char* p) {
    char32_t u = 0;
    for (int i = 0; i < 4; ++i) {
        int v = hex_digit_value(p[i]);
        if (v < 0) return std::nullopt;
        u = (u << 4) | static_cast<char32_t>(v);
    }
    return u;
}

// Recursive-descent parser over [cur, end). Recursion depth is bounded by MAX_DEPTH, so hostile
// input cannot exhaust the stack.
class Parser {
  public:
    Parser(const char* begin, const char* end) : cur_(begin), end_(end) {}

    bool parse_document(JsonValue& out) {
        if (!parse_value(out, 1)) return false;
        skip_space();
        return cur_ == end_;
    }

  private:
    void skip_space() {
        while (cur_ != end_ && is_space(*cur_)) ++cur_;
    }

    bool literal(std::string_view word) {
        if (static_cast<size_t>(end_ - cur_) < word.size()) return false;
        if (std::string_view(cur_, word.size()) != word) return false;
        cur_ += word.size();
        return true;
    }

    bool parse_value(JsonValue& out, int depth) {
        if (depth > MAX_DEPTH) return false;
        skip_space();
        if (cur_ == end_) return false;
        switch (*cur_) {
            case '"':
                out.kind = JsonKind::string;
                return parse_string(out.text);
            case '[':
                return parse_array(out, depth);
            case '{':
                return parse_object(out, depth);
            case 't':
                out.kind = JsonKind::boolean;
                out.flag = true;
                return literal("true");
            case 'f':
                out.kind = JsonKind::boolean;
                out.flag = false;
                return literal("false");
            case 'n':
                out.kind = JsonKind::null;
                return literal("null");
            default:
                return parse_number(out);
        }
    }

    bool parse_number(JsonValue& out) {
        const char* start = cur_;
        while (cur_ != end_ && is_number_byte(*cur_)) ++cur_;
        if (cur_ == start) return false;
        out.kind = JsonKind::number;
        out.text.assign(start, cur_);
        // The token is copied first: the input is not NUL-terminated, so strtod must not run
        // past the token's end.
        out.number = std::strtod(out.text.c_str(), nullptr);
        return true;
    }

    static void append_utf8(std::string& s, char32_t cp, int bytes) {
        switch (bytes) {
            case 1:
                s.push_back(static_cast<char>(cp));
                break;
            case 2:
                s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
                s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                break;
            case 3:
                s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
                s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                break;
            default:
                s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
                s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
                s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                break;
        }
    }

    // cur_ is just past "\u". Consumes the escape (and a following low surrogate escape when
    // it completes a pair) and appends its UTF-8 form.
    bool parse_unicode_escape(std::string& s) {
        if (end_ - cur_ < 4) return false;
        const std::optional<char32_t> unit = read_code_unit(cur_);
        if (!unit) return false;
        const char32_t u = *unit;
        cur_ += 4;
        if (u < 0x80) {
            append_utf8(s, u, 1);
        } else if (u < 0x800) {
            append_utf8(s, u, 2);
        } else if (u >= 0xD800 && u <= 0xDBFF && end_ - cur_ >= 6 && cur_[0] == '\\' &&
                   cur_[1] == 'u') {
            const std::optional<char32_t> low = read_code_unit(cur_ + 2);
            if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
                cur_ += 6;
                const char32_t p = 0x10000 + ((u - 0xD800) << 10) + (*low - 0xDC00);
                append_utf8(s, p, 4);
            } else {
                // Not a pair: the second escape is decoded on its own by the caller's loop.
                append_utf8(s, u, 3);
            }
        } else {
            append_utf8(s, u, 3);
        }
        return true;
    }

    // cur_ is at the opening quote.
    bool parse_string(std::string& s) {
        ++cur_;
        while (cur_ != end_) {
            char c = *cur_++;
            if (c == '"') return true;
            if (c != '\\') {
                s.push_back(c);
                continue;
            }
            if (cur_ == end_) return false;
            char e = *cur_++;
            switch (e) {
                case '"':
                    s.push_back('"');
                    break;
                case '\\':
                    s.push_back('\\');
                    break;
                case '/':
                    s.push_back('/');
                    break;
                case 'b':
                    s.push_back('\b');
                    break;
                case 'f':
                    s.push_back('\f');
                    break;
                case 'n':
                    s.push_back('\n');
                    break;
                case 'r':
                    s.push_back('\r');
                    break;
                case 't':
                    s.push_back('\t');
                    break;
                case 'u':
                    if (!parse_unicode_escape(s)) return false;
                    break;
                default:
                    return false;
            }
        }
        return false;
    }

    bool parse_array(JsonValue& out, int depth) {
        out.kind = JsonKind::array;
        ++cur_;
        skip_space();
        if (cur_ != end_ && *cur_ == ']') {
            ++cur_;
            return true;
        }
        for (;;) {
            JsonValue element;
            if (!parse_value(element, depth + 1)) return false;
            out.elements.push_back(std::move(element));
            skip_space();
            if (cur_ == end_) return false;
            char c = *cur_++;
            if (c == ']') return true;
            if (c != ',') return false;
        }
    }

    bool parse_object(JsonValue& out, int depth) {
        out.kind = JsonKind::object;
        ++cur_;
        skip_space();
        if (cur_ != end_ && *cur_ == '}') {
            ++cur_;
            return true;
        }
        for (;;) {
            skip_space();
            if (cur_ == end_ || *cur_ != '"') return false;
            std::string key;
            if (!parse_string(key)) return false;
            skip_space();
            if (cur_ == end_ || *cur_ != ':') return false;
            ++cur_;
            JsonValue value;
            if (!parse_value(value, depth + 1)) return false;
            out.members.push_back(JsonMember{std::move(key), std::move(value)});
            skip_space();
            if (cur_ == end_) return false;
            char c = *cur_++;
            if (c == '}') return true;
            if (c != ',') return false;
        }
    }

    const char* cur_;
    const char* end_;
};

}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const {
    if (kind != JsonKind::object) return nullptr;
    for (const auto& member : members) {
        if (member.key == key) return &member.value;
    }
    return nullptr;
}

std::string JsonValue::get_string(std::string_view key, const std::string& fallback) const {
    const JsonValue* v = find(key);
    if (v == nullptr || v->kind != JsonKind::string) return fallback;
    return v->text;
}

uint64_t JsonValue::get_u64(std::string_view key, uint64_t fallback) const {
    const JsonValue* v = find(key);
    if (v == nullptr || v->kind != JsonKind::number) return fallback;
    const std::string& t = v->text;
    if (t.empty() || t[0] == '-') return fallback;
    // strtoull would also skip leading whitespace and accept "0x"; neither can occur in a
    // number token, which holds only digits, signs, '.', 'e' and 'E'.
    char* end = nullptr;
    unsigned long long n = std::strtoull(t.c_str(), &end, 10);
    if (end != t.c_str() + t.size()) return fallback;
    return n;
}

bool parse_json(std::string_view input, JsonValue& out) {
    out = JsonValue{};
    Parser parser(input.data(), input.data() + input.size());
    return parser.parse_document(out);
}

}  // namespace orvo::qel

namespace orvo::qel {
namespace {

void append_json_text(const JsonValue& value, std::string& out) {
    switch (value.kind) {
        case JsonKind::null:
            out += "null";
            break;
        case JsonKind::boolean:
            out += value.flag ? "true" : "false";
            break;
        case JsonKind::number:
            out += value.text;
            break;
        case JsonKind::string:
            out += '"';
            out += json_escape(value.text);
            out += '"';
            break;
        case JsonKind::array:
            out += '[';
            for (size_t i = 0; i < value.elements.size(); ++i) {
                if (i > 0) out += ',';
                append_json_text(value.elements[i], out);
            }
            out += ']';
            break;
        case JsonKind::object:
            out += '{';
            for (size_t i = 0; i < value.members.size(); ++i) {
                if (i > 0) out += ',';
                out += '"';
                out += json_escape(value.members[i].key);
                out += "\":";
                append_json_text(value.members[i].value, out);
            }
            out += '}';
            break;
    }
}

}  // namespace

// Recursion is bounded by the parser's nesting limit for every value it produced.
std::string json_text(const JsonValue& value) {
    std::string out;
    append_json_text(value, out);
    return out;
}

}  // namespace orvo::qel
