#include "miner/verify.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "miner/arena.h"
#include "pow/engines_here.h"
#include "pow/store_mode.h"
#include "support/argon2_reference.h"
#include "support/process.h"

namespace orvo::qel {
namespace {

using test_support::TempDir;
using test_support::write_file;
using Bytes = std::vector<uint8_t>;

const RunControl no_stop;

// The three counters of a tally, for tables.
struct Counts {
    uint32_t records, matches, agreements;
};

TEST(DecodeHexBytes, PairsAndWhereDecodingStops) {
    struct Case {
        const char* text;
        size_t n;
        Bytes expected;  // the buffer starts as 0xEE bytes
        int result;
    };
    const Case cases[] = {
        {"00ff10Ab", 4, {0x00, 0xff, 0x10, 0xab}, 1},
        {"ABCDEF", 3, {0xab, 0xcd, 0xef}, 1},
        {"0102030405", 2, {0x01, 0x02}, 1},  // characters past 2n are not looked at
        {"0g12", 2, {0x00, 0x12}, 1},        // a lone digit gives its own value
        {"abc", 2, {0xab, 0x0c}, 1},
        {"zz12", 2, {0xee, 0xee}, 0},  // stops at once, later bytes untouched
        {"12zz34", 3, {0x12, 0xee, 0xee}, 0},
        {"ab", 3, {0xab, 0xee, 0xee}, 0},  // the text ends
        {"", 1, {0xee}, 0},
        {"-1", 1, {0xee}, 0},
    };
    for (const auto& c : cases) {
        Bytes buffer(c.n, 0xEE);
        EXPECT_EQ(decode_hex_bytes(c.text, buffer.data(), c.n), c.result) << c.text;
        EXPECT_EQ(buffer, c.expected) << c.text;
    }
}

Bytes target_with(std::initializer_list<std::pair<size_t, uint8_t>> bytes) {
    Bytes t(32, 0);
    for (auto [index, value] : bytes) t[index] = value;
    return t;
}

TEST(ExpandCompactTarget, Table) {
    struct Case {
        uint32_t compact;
        bool usable;
        Bytes target;
    };
    const Case cases[] = {
        {0x207fffff, true, target_with({{0, 0x7f}, {1, 0xff}, {2, 0xff}})},
        {0x20000001, true, target_with({{2, 0x01}})},
        {0x1d00ffff, true, target_with({{4, 0xff}, {5, 0xff}})},
        {0x03123456, true, target_with({{29, 0x12}, {30, 0x34}, {31, 0x56}})},
        {0x02123456, true, target_with({{30, 0x12}, {31, 0x34}})},
        {0x01123456, true, target_with({{31, 0x12}})},
        {0x00123456, true, Bytes(32, 0)},  // usable, but only an all-zero hash meets it
        {0x20800000, false, Bytes(32, 0)},
        {0x04923456, false, Bytes(32, 0)},
        {0x20ffffff, false, Bytes(32, 0)},
        {0x20000000, false, Bytes(32, 0)},
        {0x00000000, false, Bytes(32, 0)},
        {0x217fffff, false, Bytes(32, 0)},
        {0xff7fffff, false, Bytes(32, 0)},
    };
    for (const auto& c : cases) {
        Bytes target(32, 0xEE);
        EXPECT_EQ(expand_compact_target(c.compact, target.data()), c.usable)
            << std::hex << c.compact;
        EXPECT_EQ(target, c.target) << std::hex << c.compact;
    }
}

// A stand-in for the hash whose output the test controls: header bytes 0-31 with the nonce's
// low byte added to byte 0.
void header_echo_hash(const Arena&, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    std::memcpy(out, header, 32);
    out[0] = static_cast<uint8_t>(out[0] + nonce);
}

std::string hex(const Bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

// A header whose echo hash is `hash` (nonce 0) and whose compact target is `compact`.
Bytes header_for(const Bytes& hash, uint32_t compact) {
    Bytes h(HEADER_BYTES, 0x5a);
    std::memcpy(h.data(), hash.data(), 32);
    for (size_t i = 0; i < 4; ++i) h[108 + i] = static_cast<uint8_t>(compact >> (8 * i));
    return h;
}

// Little-endian hash bytes of a small number: byte 0 is the least significant.
Bytes small_hash(uint8_t low, uint8_t high = 0) {
    Bytes h(32, 0);
    h[0] = low;
    h[1] = high;
    return h;
}

std::string record(const Bytes& hash, uint32_t compact, const char* expectation) {
    return hex(header_for(hash, compact)) + " 0 " + hex(hash) + " " + expectation + "\n";
}

// The echo side by side, recording each group's size; `swap` plants a fault that hands slot 0
// the output of slot 1.
std::vector<int32_t> echo_groups;
bool echo_swap = false;
void header_echo_many(const Arena* arenas, const uint8_t* const* headers, const uint64_t* nonces,
                      uint8_t (*outs)[HASH_BYTES], int32_t n) {
    for (int32_t i = 0; i < n; ++i) header_echo_hash(arenas[i], headers[i], nonces[i], outs[i]);
    if (echo_swap) std::memcpy(outs[0], outs[1], HASH_BYTES);
    echo_groups.push_back(n);
}

TEST(VerifyRecords, CountsRecordsMatchesAndAgreements) {
    const Bytes big(32, 0xff);                   // meets only the largest targets
    const Bytes equal = small_hash(0x56, 0x34);  // equals the target of 0x03003456
    struct Case {
        const char* name;
        std::string content;
        Counts expected;
    };
    const Case cases[] = {
        {"meets", record(small_hash(1), 0x03123456, "1"), {1, 1, 1}},
        {"misses", record(big, 0x207fffff, "0"), {1, 1, 1}},
        {"hash equal to the target meets", record(equal, 0x03003456, "1"), {1, 1, 1}},
        {"one above the target misses", record(small_hash(0x57, 0x34), 0x03003456, "0"), {1, 1, 1}},
        {"expectation other than 1 means a miss", record(big, 0x03123456, "2"), {1, 1, 1}},
        {"negative expectation", record(big, 0x03123456, "-1"), {1, 1, 1}},
        {"disagreement", record(big, 0x03123456, "1"), {1, 1, 0}},
        {"zero target met only by a zero hash",
         record(Bytes(32, 0), 0x00123456, "1") + record(small_hash(1), 0x00123456, "0"),
         {2, 2, 2}},
        {"sign bit never meets", record(small_hash(1), 0x20ffffff, "1"), {1, 1, 0}},
        {"zero mantissa never meets", record(small_hash(0), 0x20000000, "0"), {1, 1, 1}},
        {"exponent 33 never meets", record(small_hash(1), 0x217fffff, "1"), {1, 1, 0}},
        {"trailing record without expectation counts as 0",
         record(big, 0x03123456, "0") + hex(header_for(big, 0x03123456)) + " 0 " + hex(big),
         {2, 2, 2}},
        {"trailing record without expectation that meets",
         hex(header_for(small_hash(1), 0x03123456)) + "\n0\n" + hex(small_hash(1)),
         {1, 1, 0}},
        {"empty", "", {0, 0, 0}},
        {"white space only", " \n\t\r\n", {0, 0, 0}},
    };
    // Every intensity counts the same; 0 takes groups of 1, 2, 3, 4, 1, ... in turn.
    const Arena arenas[MAX_INTENSITY];
    for (int32_t intensity = 0; intensity <= MAX_INTENSITY; ++intensity) {
        for (const auto& c : cases) {
            std::istringstream in(c.content);
            VerifyTally got = verify_records(in, {header_echo_hash, header_echo_many}, arenas,
                                             intensity, no_stop);
            EXPECT_EQ(got.records, c.expected.records) << c.name << intensity;
            EXPECT_EQ(got.matches, c.expected.matches) << c.name << intensity;
            EXPECT_EQ(got.agreements, c.expected.agreements) << c.name << intensity;
            EXPECT_EQ(got.unreadable, "") << c.name;
            EXPECT_FALSE(got.stopped) << c.name;
        }
    }
}

// Records are hashed in groups of the intensity, the last one shorter; a fault in one slot
// shows as a record that does not match.
TEST(VerifyRecords, GroupsSideBySide) {
    std::string seven;
    for (uint8_t i = 1; i <= 7; ++i) seven += record(small_hash(i), 0x03123456, "0");
    const Arena arenas[MAX_INTENSITY];
    struct Case {
        int32_t intensity;
        bool swap;
        std::vector<int32_t> groups;  // sizes of the groups hashed side by side
        uint32_t matches;
    } cases[] = {{0, false, {2, 3}, 7},
                 {3, false, {3, 3}, 7},
                 {4, false, {4, 3}, 7},
                 {1, true, {}, 7},
                 {2, true, {2, 2, 2}, 4}};
    for (const Case& c : cases) {
        echo_groups.clear();
        echo_swap = c.swap;
        std::istringstream in(seven);
        VerifyTally got =
            verify_records(in, {header_echo_hash, header_echo_many}, arenas, c.intensity, no_stop);
        EXPECT_EQ(got.records, 7u) << c.intensity;
        EXPECT_EQ(got.matches, c.matches) << c.intensity;
        EXPECT_EQ(echo_groups, c.groups) << c.intensity;
    }
    echo_swap = false;
}

// A record that cannot be read ends the run: the records before it are counted, none after.
TEST(VerifyRecords, UnreadableRecordEndsTheRun) {
    const Bytes big(32, 0xff);
    const std::string good = record(big, 0x03123456, "0");
    const std::string header = hex(header_for(big, 0x03123456));
    const std::string hash = hex(big);
    const std::string too_long(MAX_VERIFY_TOKEN + 1, '7');
    struct Case {
        const char* name;
        std::string bad;  // follows one good record and is followed by another
        const char* why;
    };
    const Case cases[] = {
        {"nonce past 64 bits", header + " 18446744073709551616 " + hash + " 0",
         "record 2: the nonce is not an unsigned 64-bit decimal number"},
        {"nonce not a number", header + " x " + hash + " 0",
         "record 2: the nonce is not an unsigned 64-bit decimal number"},
        {"negative nonce", header + " -1 " + hash + " 0",
         "record 2: the nonce is not an unsigned 64-bit decimal number"},
        {"garbage where a record starts", "garbage " + header + " 0 " + hash + " 0",
         "record 2: the header does not start with 224 hex digits"},
        {"short header", header.substr(0, 222) + " 0 " + hash + " 0",
         "record 2: the header does not start with 224 hex digits"},
        {"non-hex in the header",
         header.substr(0, 100) + "g" + header.substr(101) + " 0 " + hash + " 0",
         "record 2: the header does not start with 224 hex digits"},
        {"short hash", header + " 0 " + hash.substr(0, 63) + " 0",
         "record 2: the expected hash does not start with 64 hex digits"},
        {"non-hex in the hash", header + " 0 " + hash.substr(0, 63) + "x 0",
         "record 2: the expected hash does not start with 64 hex digits"},
        {"expectation not a number", header + " 0 " + hash + " yes",
         "record 2: the expectation is not a decimal integer"},
        {"expectation only a sign", header + " 0 " + hash + " -",
         "record 2: the expectation is not a decimal integer"},
        {"over-long header", header + too_long + " 0 " + hash + " 0",
         "record 2: the header is longer than 4096 characters"},
        {"over-long nonce", header + " " + too_long + " " + hash + " 0",
         "record 2: the nonce is longer than 4096 characters"},
        {"over-long expectation", header + " 0 " + hash + " " + too_long,
         "record 2: the expectation is longer than 4096 characters"},
    };
    for (const auto& c : cases) {
        std::istringstream in(good + c.bad + "\n" + good);
        VerifyTally got = verify_records(in, header_echo_hash, Arena{}, no_stop);
        EXPECT_EQ(got.records, 1u) << c.name;
        EXPECT_EQ(got.unreadable, c.why) << c.name;
        EXPECT_FALSE(verify_verdict(got).passed) << c.name;
        EXPECT_EQ(verify_verdict(got).text, "verify 1/2 FAILED") << c.name;
    }

    // A file cut short inside its last record.
    const Case truncated[] = {
        {"header only", header, "record 2: the file ends before the nonce"},
        {"header and nonce", header + " 0", "record 2: the file ends before the expected hash"},
    };
    for (const auto& c : truncated) {
        std::istringstream in(good + c.bad + "\n");
        VerifyTally got = verify_records(in, header_echo_hash, Arena{}, no_stop);
        EXPECT_EQ(got.records, 1u) << c.name;
        EXPECT_EQ(got.unreadable, c.why) << c.name;
    }
}

// The run the hash stand-in stops, as a signal handler would during a hash.
RunControl* raised_stop = nullptr;
std::atomic<int> hashes_before_stop{0};
void hash_then_stop(const Arena& arena, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    header_echo_hash(arena, header, nonce, out);
    if (hashes_before_stop.fetch_sub(1) == 1) raised_stop->request_stop();
}

TEST(VerifyRecords, StopEndsTheRunAfterTheCurrentHash) {
    const Bytes hash = small_hash(1);
    std::string three;
    for (int i = 0; i < 3; ++i) three += record(hash, 0x03123456, "1");
    struct Case {
        int stop_after;  // hashes; 0 = stopped before the run
        uint32_t records;
        const char* text;
    };
    const Case cases[] = {{0, 0, "verify 0/0 stopped"},
                          {2, 2, "verify 2/2 stopped"},
                          {3, 3, "verify 3/3 stopped"}};  // during the last hash: no OK line
    for (const auto& c : cases) {
        RunControl control;
        raised_stop = &control;
        if (c.stop_after == 0) control.request_stop();
        hashes_before_stop = c.stop_after;
        std::istringstream in(three);
        VerifyTally got = verify_records(in, hash_then_stop, Arena{}, control);
        EXPECT_TRUE(got.stopped) << c.stop_after;
        EXPECT_EQ(got.records, c.records) << c.stop_after;
        VerifyVerdict v = verify_verdict(got);
        EXPECT_FALSE(v.passed);
        EXPECT_EQ(v.text, c.text);
    }
}

TEST(VerifyRecords, TokensAndBuffers) {
    const Bytes hash = small_hash(7);
    Bytes wrong = hash;
    wrong[31] ^= 1;
    std::string header_hex = hex(header_for(hash, 0x03123456));
    std::string upper = header_hex;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    struct Case {
        const char* name;
        std::string content;
        Counts expected;
    };
    const Case cases[] = {
        {"upper-case hex", upper + " 0 " + hex(hash) + " 1", {1, 1, 1}},
        {"over-long tokens ignore the rest",
         header_hex + "zz99 0 " + hex(hash) + "ffff 1",
         {1, 1, 1}},
        {"nonce enters the hash", header_hex + " 3 " + hex(hash) + " 1", {1, 0, 1}},
        {"hash mismatch", header_hex + " 0 " + hex(wrong) + " 1", {1, 0, 1}},
        {"white space and line ends carry no meaning",
         header_hex + "\n\t0\n\n" + hex(hash) + "   1\n",
         {1, 1, 1}},
        {"expectation with sign and leading zeros",
         header_hex + " 0 " + hex(hash) + " +01",
         {1, 1, 1}},
        {"expectation -1 is a miss", header_hex + " 0 " + hex(hash) + " -1", {1, 1, 0}},
        {"expectation longer than 64 bits is a miss",
         header_hex + " 0 " + hex(hash) + " 100000000000000000000001",
         {1, 1, 0}},
        {"largest nonce", header_hex + " 18446744073709551615 " + hex(hash) + " 1", {1, 0, 1}},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.content);
        VerifyTally got = verify_records(in, header_echo_hash, Arena{}, no_stop);
        EXPECT_EQ(got.records, c.expected.records) << c.name;
        EXPECT_EQ(got.matches, c.expected.matches) << c.name;
        EXPECT_EQ(got.agreements, c.expected.agreements) << c.name;
    }
}

TEST(VerifyVerdict, Texts) {
    struct Case {
        Counts tally;
        bool passed;
        const char* text;
    };
    const Case cases[] = {
        {{1, 1, 1}, true, "verify 1/1 OK"},
        {{23, 23, 23}, true, "verify 23/23 OK"},
        {{3, 2, 3}, false, "verify 2/3 FAILED"},
        {{0, 0, 0}, false, "verify 0/0 FAILED"},
        {{3, 3, 2}, false, "target comparison 2/3 FAILED"},
        {{3, 1, 2}, false, "target comparison 2/3 FAILED"},  // mismatches not reported then
    };
    for (const auto& c : cases) {
        VerifyTally tally;
        tally.records = c.tally.records;
        tally.matches = c.tally.matches;
        tally.agreements = c.tally.agreements;
        VerifyVerdict v = verify_verdict(tally);
        EXPECT_EQ(v.passed, c.passed) << c.text;
        EXPECT_EQ(v.text, c.text);
    }
}

// The lines a run reports, in order.
struct ReportedLines {
    std::vector<ReportLine> lines;
    ReportSink sink() {
        return [this](const ReportLine& line) { lines.push_back(line); };
    }
};

// The exit status and the last reported line, the verdict, tell the same story.
TEST(RunVerify, ExitStatusFromFiles) {
    TempDir dir;
    const Bytes hash = small_hash(9);
    Bytes wrong = hash;
    wrong[5] ^= 0x40;
    struct Case {
        const char* name;
        const char* file;
        std::string content;
        int status;
    };
    const Case cases[] = {
        {"passes", "ok.txt", record(hash, 0x03123456, "1"), 0},
        {"hash mismatch", "mismatch.txt",
         hex(header_for(hash, 0x03123456)) + " 0 " + hex(wrong) + " 1\n", 1},
        {"target disagreement", "target.txt", record(hash, 0x03123456, "0"), 1},
        {"empty file", "empty.txt", "", 1},
        {"missing file", nullptr, "", 1},
    };
    for (const auto& c : cases) {
        std::string path = c.file ? dir.file(c.file) : dir.file("does-not-exist.txt");
        if (c.file) write_file(path, c.content);
        ReportedLines reported;
        EXPECT_EQ(run_verify(path, header_echo_hash, no_stop, reported.sink()), c.status) << c.name;
        ASSERT_FALSE(reported.lines.empty()) << c.name;
        const ReportLine& verdict = reported.lines.back();
        EXPECT_STREQ(verdict.tag, "check") << c.name;
        EXPECT_EQ(verdict.colour, c.status == 0 ? LineColour::green : LineColour::red) << c.name;
    }
    ReportedLines reported;
    EXPECT_EQ(run_verify(dir.path(), header_echo_hash, no_stop, reported.sink()), 1)
        << "a directory";
    ASSERT_EQ(reported.lines.size(), 2u);
    EXPECT_EQ(reported.lines[0].text.rfind("cannot read " + dir.path() + ": ", 0), 0u)
        << reported.lines[0].text;
    EXPECT_EQ(reported.lines[1].text, "verify 0/0 FAILED");
}

void reference_hash(const Arena&, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    test_support::coin_hash_reference(header, nonce, out);
}

// The shipped vectors come from libsodium; the test oracle is an independent Argon2id.
TEST(ShippedVectors, AgreeWithTheReferenceArgon2id) {
    std::ifstream in(MINTRAKEL_TEST_DATA "/vectors.txt");
    ASSERT_TRUE(in) << "tests/data/vectors.txt";
    Arena arena;
    VerifyTally tally = verify_records(in, reference_hash, arena, no_stop);
    EXPECT_GE(tally.records, 16u);
    EXPECT_EQ(tally.matches, tally.records);
    EXPECT_EQ(tally.agreements, tally.records);
}

// What --verify runs without --intensity: every engine under test here (in the emulated
// program, the emulated AVX-512 copy), both store modes, every intensity in turn.
TEST(ShippedVectors, EveryEngineHereAtEveryIntensity) {
    Arena arenas[MAX_INTENSITY];
    for (Arena& a : arenas) ASSERT_TRUE(map_arena(a));
    for (const EngineInfo& engine : test_support::engines_under_test()) {
        if (!test_support::runs_here(engine)) continue;
        ASSERT_TRUE(engine.build_table()) << engine.name;
        for (bool non_temporal : {false, true}) {
            set_store_mode(non_temporal);
            std::ifstream in(MINTRAKEL_TEST_DATA "/vectors.txt");
            VerifyTally tally =
                verify_records(in, {engine.hash, engine.hash_many}, arenas, 0, no_stop);
            EXPECT_GE(tally.records, 10u);  // groups of 1 to 4 all taken
            EXPECT_EQ(tally.matches, tally.records) << engine.name << non_temporal;
        }
        set_store_mode(false);
    }
    for (Arena& a : arenas) unmap_arena(a);
}

}  // namespace
}  // namespace orvo::qel
