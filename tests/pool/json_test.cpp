#include "pool/json.h"

#include <gtest/gtest.h>

#include <string>

namespace orvo::qel {
namespace {

using namespace std::string_literals;

struct ParseCase {
    std::string input;
    bool ok;
};

TEST(ParseJson, AcceptsAndRejects) {
    const ParseCase cases[] = {
        {"{}", true},
        {"[]", true},
        {"{ \t\r\n}", true},
        {"[ ]", true},
        {"  {\"a\":1}  \r", true},
        {"{\"a\":1} x", false},
        {"{\"a\":1,}", false},
        {"[1,]", false},
        {"{\"a\" 1}", false},
        {"{a:1}", false},
        {"[1 2]", false},
        {"{\"a\":1", false},
        {"[", false},
        {"", false},
        {"   ", false},
        {"\v{}", false},  // only space, tab, LF and CR are whitespace
        {"true", true},
        {"false", true},
        {"null", true},
        {"nullx", false},
        {"tru", false},
        {"nul", false},
        {"-", true},
        {"007", true},
        {"1.2.3", true},
        {"--5", true},
        {"+", true},
        {"x", false},
        {"\"abc\"", true},
        {"\"abc", false},
        {"\"a\\xb\"", false},
        {"\"a\\", false},
        {"\"\\u12\"", false},
        {"\"\\u12g4\"", false},
        {"\"\\u00e9\"", true},
        {"\"raw\ttab\x01\"", true},
        {"{\"a\":[1,{\"b\":null}],\"c\":\"d\"}", true},
        {"[1,,2]", false},
        {"{,}", false},
        {"{\"a\":}", false},
    };
    for (const auto& c : cases) {
        JsonValue v;
        EXPECT_EQ(parse_json(c.input, v), c.ok) << "input: " << c.input;
    }
}

TEST(ParseJson, BuildsTheTree) {
    JsonValue v;
    ASSERT_TRUE(parse_json(R"({"a":[1,true,null,"x"],"b":{"c":-2.5},"a":false})", v));
    ASSERT_EQ(v.kind, JsonKind::object);
    ASSERT_EQ(v.members.size(), 3u);  // duplicates kept, document order
    EXPECT_EQ(v.members[0].key, "a");
    EXPECT_EQ(v.members[2].key, "a");
    const JsonValue* a = v.find("a");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->kind, JsonKind::array);  // first match wins
    ASSERT_EQ(a->elements.size(), 4u);
    EXPECT_EQ(a->elements[0].kind, JsonKind::number);
    EXPECT_EQ(a->elements[1].kind, JsonKind::boolean);
    EXPECT_TRUE(a->elements[1].flag);
    EXPECT_EQ(a->elements[2].kind, JsonKind::null);
    EXPECT_EQ(a->elements[3].text, "x");
    const JsonValue* c = v.find("b")->find("c");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->text, "-2.5");
    EXPECT_DOUBLE_EQ(c->number, -2.5);
    EXPECT_EQ(a->find("x"), nullptr);  // not an object
    EXPECT_EQ(v.find("A"), nullptr);   // exact byte comparison
}

TEST(ParseJson, NumberTokensKeepTheirText) {
    const struct {
        std::string token;
        double value;
    } cases[] = {{"-", 0}, {"007", 7}, {"1.2.3", 1.2}, {"--5", 0}, {"1e3", 1000}, {"+12", 12}};
    for (const auto& c : cases) {
        JsonValue v;
        ASSERT_TRUE(parse_json("[" + c.token + "]", v)) << c.token;
        ASSERT_EQ(v.elements.size(), 1u);
        EXPECT_EQ(v.elements[0].kind, JsonKind::number);
        EXPECT_EQ(v.elements[0].text, c.token);
        EXPECT_DOUBLE_EQ(v.elements[0].number, c.value) << c.token;
    }
}

TEST(ParseJson, StringEscapesDecode) {
    const struct {
        std::string input;  // the string's content between the quotes
        std::string bytes;
    } cases[] = {
        {R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t"},
        {R"(\u0041)", "A"},
        {R"(\u0000)", "\0"s},
        {R"(\u00e9)", "\xC3\xA9"},
        {R"(\u00E9)", "\xC3\xA9"},
        {R"(\u20ac)", "\xE2\x82\xAC"},
        {R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},
        {R"(\uD83D\uDE00)", "\xF0\x9F\x98\x80"},
        {R"(\ud83d)", "\xED\xA0\xBD"},
        {R"(\ud83dA)",
         "\xED\xA0\xBD"
         "A"},
        {R"(\ude00)", "\xED\xB8\x80"},  // lone low surrogate
        {R"(\ud83d\u0041)",
         "\xED\xA0\xBD"
         "A"},  // second escape on its own
        {R"(\ud83d\ud83d\ude00)", "\xED\xA0\xBD\xF0\x9F\x98\x80"},
        {"raw\x01\t\x7f\xc3\xa9", "raw\x01\t\x7f\xc3\xa9"},
    };
    for (const auto& c : cases) {
        JsonValue v;
        ASSERT_TRUE(parse_json("\"" + c.input + "\"", v)) << c.input;
        EXPECT_EQ(v.kind, JsonKind::string);
        EXPECT_EQ(v.text, c.bytes) << c.input;
    }
    JsonValue v;
    EXPECT_FALSE(parse_json(R"("\ud83d\u00")", v));  // the second escape is cut short
}

TEST(ParseJson, NestingLimitIs32) {
    for (size_t depth : std::initializer_list<size_t>{1, 31, 32, 33, 100, 100000}) {
        std::string arrays = std::string(depth, '[') + std::string(depth, ']');
        std::string objects;
        for (size_t i = 1; i < depth; ++i) objects += "{\"k\":";
        objects += '1';
        objects.append(depth - 1, '}');
        JsonValue v;
        EXPECT_EQ(parse_json(arrays, v), depth <= 32) << depth;
        EXPECT_EQ(parse_json(objects, v), depth <= 32) << depth;
    }
}

TEST(ParseJson, ResetsTheValue) {
    JsonValue v;
    ASSERT_TRUE(parse_json(R"({"a":1})", v));
    ASSERT_TRUE(parse_json("null", v));
    EXPECT_EQ(v.kind, JsonKind::null);
    EXPECT_TRUE(v.members.empty());
}

TEST(JsonAccessors, GetU64) {
    const struct {
        std::string member;  // the value of "n"; empty = member absent
        uint64_t expected;
    } cases[] = {
        {"12", 12},
        {"+12", 12},
        {"0", 0},
        {"007", 7},
        {"12.0", 99},
        {"1.0", 99},
        {"1e3", 99},
        {"-3", 99},
        {"-0", 99},
        {"-", 99},
        {"+", 99},
        {"\"12\"", 99},
        {"true", 99},
        {"null", 99},
        {"[12]", 99},
        {"18446744073709551615", 18446744073709551615ull},
        {"18446744073709551616", 18446744073709551615ull},
        {"99999999999999999999", 18446744073709551615ull},
        {"", 99},
    };
    for (const auto& c : cases) {
        std::string doc = c.member.empty() ? R"({"m":1})" : R"({"n":)" + c.member + "}";
        JsonValue v;
        ASSERT_TRUE(parse_json(doc, v)) << doc;
        EXPECT_EQ(v.get_u64("n", 99), c.expected) << doc;
    }
    JsonValue first_wins;
    ASSERT_TRUE(parse_json(R"({"n":"x","n":5})", first_wins));
    EXPECT_EQ(first_wins.get_u64("n", 99), 99u);
    JsonValue not_object;
    ASSERT_TRUE(parse_json("[1]", not_object));
    EXPECT_EQ(not_object.get_u64("n", 99), 99u);
}

TEST(JsonAccessors, GetString) {
    JsonValue v;
    ASSERT_TRUE(parse_json(R"({"s":5,"s":"later","t":"yes","u":null})", v));
    EXPECT_EQ(v.get_string("s", "fb"), "fb");  // the first occurrence decides
    EXPECT_EQ(v.get_string("t", "fb"), "yes");
    EXPECT_EQ(v.get_string("u", "fb"), "fb");
    EXPECT_EQ(v.get_string("missing", "fb"), "fb");
    JsonValue s;
    ASSERT_TRUE(parse_json(R"("t")", s));
    EXPECT_EQ(s.get_string("t", "fb"), "fb");
}

TEST(JsonEscape, MapsEveryByteClass) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"\x01"
         "a\"\\\x7f\xc3\xa9",
         "\\u0001a\\\"\\\\\x7f\xc3\xa9"},
        {"\n\r\t", "\\n\\r\\t"},
        {"\b\f", "\\u0008\\u000c"},
        {"\x1f", "\\u001f"},
        {"\0"s, "\\u0000"},
        {"/", "/"},
        {" ~\xff", " ~\xff"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(json_escape(c.in), c.out);
}

TEST(JsonEscape, RoundTripsEveryByte) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    JsonValue v;
    std::string quoted = json_escape(all);
    quoted.insert(quoted.begin(), '"');
    quoted.push_back('"');
    ASSERT_TRUE(parse_json(quoted, v));
    EXPECT_EQ(v.text, all);
}

// Compact text of a parsed value: whitespace dropped, order, duplicates and number tokens kept.
TEST(JsonText, WritesParsedValuesBackCompactly) {
    const struct {
        std::string in, out;
    } cases[] = {
        {R"( { "code" : 23 , "message" : "Low \"diff\"" } )",
         R"({"code":23,"message":"Low \"diff\""})"},
        {R"([1, 007, -0.5e3, true, false, null, [], {}])",
         R"([1,007,-0.5e3,true,false,null,[],{}])"},
        {R"({"a":1,"a":2})", R"({"a":1,"a":2})"},
        {R"("\u0001\n")", R"("\u0001\n")"},
        {"\"\xC3\xA9\"", "\"\xC3\xA9\""},
    };
    for (const auto& c : cases) {
        JsonValue v;
        ASSERT_TRUE(parse_json(c.in, v)) << c.in;
        EXPECT_EQ(json_text(v), c.out) << c.in;
    }
}

}  // namespace
}  // namespace orvo::qel
