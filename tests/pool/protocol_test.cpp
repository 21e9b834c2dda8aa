#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pool/json.h"
#include "pool/pool.h"
#include "pool_test_util.h"

namespace orvo::qel {
namespace {

using test_support::Recorder;

const std::string kEmDash = "\xE2\x80\x94";
const std::string kHeader = [] {
    std::string h;
    for (int i = 0; i < 112; ++i) h += "0123456789abcdef"[i % 16], h += "fedcba9876543210"[i % 16];
    return h;
}();
const std::string kTarget = "00ff" + std::string(60, 'f');

std::string job_params(const std::string& extra, const std::string& header = kHeader,
                       const std::string& target = kTarget) {
    return R"({"job_id":"j1","header_base":")" + header + R"(","target":")" + target + "\"" +
           extra + "}";
}

std::string job_line(const std::string& extra = R"(,"height":7,"difficulty":9)") {
    return R"({"method":"job","params":)" + job_params(extra) + "}";
}

Job current_job(Pool& pool) {
    return PoolTestAccess::job(pool);
}

TEST(Protocol, AppliesAJob) {
    Recorder rec;  // outlives the client that reports to it
    Pool pool(rec.lines(), rec.verdicts());
    for (int i = 0; i < 3; ++i) PoolTestAccess::open_connection(pool);
    pool.handle_line(R"({"method":"job","params":{"job_id":"abc","header_base":")" + kHeader +
                     R"(","target":")" + kTarget + R"(","network_target":")" +
                     std::string(62, '0') + R"(0A","height":100,"nonce_start":5,)" +
                     R"("nonce_end":1000,"difficulty":42}})");
    Job job = current_job(pool);
    EXPECT_EQ(pool.job_seq(), 1u);
    EXPECT_EQ(job.seq, 1u);
    EXPECT_EQ(job.conn_gen, 3u);
    EXPECT_EQ(job.job_id, "abc");
    EXPECT_EQ(job.header_base[0], 0x0f);
    EXPECT_EQ(job.header_base[1], 0x1e);
    EXPECT_EQ(job.header_base[111], 0xf0);
    EXPECT_EQ(job.target[0], 0x00);
    EXPECT_EQ(job.target[1], 0xff);
    EXPECT_EQ(job.network_target[31], 0x0a);
    EXPECT_EQ(job.network_target[0], 0x00);
    EXPECT_EQ(job.height, 100u);
    EXPECT_EQ(job.nonce_start, 5u);
    EXPECT_EQ(job.nonce_end, 1000u);
    EXPECT_EQ(job.difficulty, 42u);
    EXPECT_TRUE(job.valid);
    EXPECT_EQ(rec.logs(),
              std::vector<std::string>{"new job " + kEmDash + " height 100, difficulty 42"});
}

TEST(Protocol, JobFieldDefaultsAndLenientIntegers) {
    const struct {
        std::string extra;
        uint64_t nonce_start, nonce_end, height;
    } cases[] = {
        {"", 0, ~0ull, 0},
        {R"(,"nonce_end":1.5e3)", 0, ~0ull, 0},
        {R"(,"nonce_end":"10","nonce_start":-1,"height":3.0)", 0, ~0ull, 0},
        {R"(,"nonce_end":+10,"nonce_start":2,"height":99999999999999999999)", 2, 10, ~0ull},
    };
    for (const auto& c : cases) {
        Pool pool;
        pool.handle_line(job_line(c.extra));
        Job job = current_job(pool);
        EXPECT_EQ(job.nonce_start, c.nonce_start) << c.extra;
        EXPECT_EQ(job.nonce_end, c.nonce_end) << c.extra;
        EXPECT_EQ(job.height, c.height) << c.extra;
        EXPECT_TRUE(job.valid);
    }
}

TEST(Protocol, NetworkTargetIsExactly64HexDigitsOrNone) {
    const struct {
        std::string text;
        uint8_t byte0, byte1, byte31;
    } cases[] = {
        {"", 0, 0, 0},
        {"ABCD" + std::string(60, '1'), 0xab, 0xcd, 0x11},
        {"abcdg1" + std::string(58, '1'), 0, 0, 0},  // one bad digit: no target at all
        {"7f" + std::string(62, 'z'), 0, 0, 0},
        {std::string(62, 'f'), 0, 0, 0},  // wrong length
        {std::string(66, 'f'), 0, 0, 0},
    };
    for (const auto& c : cases) {
        Pool pool;
        pool.handle_line(job_line(R"(,"network_target":")" + c.text + "\""));
        Job job = current_job(pool);
        EXPECT_TRUE(job.valid);
        EXPECT_EQ(job.network_target[0], c.byte0) << c.text;
        EXPECT_EQ(job.network_target[1], c.byte1) << c.text;
        EXPECT_EQ(job.network_target[31], c.byte31) << c.text;
    }
}

// Every job that decodes is taken. Work is its id, header and range start: the same work coming
// back, on any connection and after any other jobs, names the earlier work, so the threads
// resume where they were; anything else is new work.
TEST(Protocol, EveryJobIsTakenAndTheSameWorkContinues) {
    const std::string other_header = std::string(223, 'a') + "b";
    const std::string kNewConnection = "new connection";
    const std::string j2 =
        R"({"job_id":"j2","header_base":")" + kHeader + R"(","target":")" + kTarget + "\"}";
    const struct {
        std::vector<std::string> params;  // jobs in order (or a new connection); the last judged
        bool same_work;                   // the last job continues the first
    } cases[] = {
        {{job_params(""), job_params(R"(,"nonce_end":99)", kHeader, std::string(64, 'f'))}, true},
        {{job_params(""), job_params(R"(,"nonce_start":5)")}, false},  // the next range
        {{job_params(""), job_params("", other_header)}, false},       // a fresher header
        {{job_params(""), j2, job_params("")}, true},                  // an older job again
        // Across connections.
        {{job_params(""), kNewConnection, job_params(R"(,"nonce_end":99)")}, true},
        {{job_params(""), j2, kNewConnection, job_params("")}, true},
        {{job_params(""), kNewConnection, job_params("", other_header)}, false},
        {{job_params(""), kNewConnection, job_params(R"(,"nonce_start":5)")}, false},
        {{job_params(""), kNewConnection, kNewConnection, job_params("")}, true},
    };
    for (const auto& c : cases) {
        Recorder rec;
        Pool pool(rec.lines(), rec.verdicts());
        Job before;
        Job first;
        for (const auto& params : c.params) {
            before = current_job(pool);
            if (params == kNewConnection) {
                PoolTestAccess::open_connection(pool);
            } else {
                pool.handle_line(R"({"method":"job","params":)" + params + "}");
            }
            if (first.seq == 0) first = current_job(pool);
        }
        const Job after = current_job(pool);
        EXPECT_NE(after.seq, before.seq) << c.params.back();
        EXPECT_EQ(rec.count_prefix("job rejected"), 0u) << c.params.back();
        EXPECT_EQ(after.work == first.work, c.same_work) << c.params.back();
    }
}

// A share is submitted once in a run: the same job id, header and nonce again is refused, one
// that differs in any of the three is not, and the memory keeps the latest SHARE_MEMORY shares.
TEST(SentShares, EachShareOnce) {
    Job job;
    job.job_id = "j1";
    Job other_id = job;
    other_id.job_id = "j2";
    Job other_header = job;
    other_header.header_base[111] = 1;
    const struct {
        const Job* job;
        uint64_t nonce;
        bool first;
    } cases[] = {
        {&job, 5, true},          {&job, 5, false}, {&other_id, 5, true},
        {&other_header, 5, true}, {&job, 6, true},  {&other_header, 5, false},
    };
    SentShares sent;
    for (const auto& c : cases) {
        EXPECT_EQ(sent.first_time(*c.job, c.nonce), c.first) << c.job->job_id << " " << c.nonce;
    }
    // Four shares so far; after SHARE_MEMORY - 4 more the oldest (j1, 5) is still known, after
    // one more it is forgotten.
    for (uint64_t n = 0; n < SHARE_MEMORY - 4; ++n) ASSERT_TRUE(sent.first_time(job, 1000 + n));
    EXPECT_FALSE(sent.first_time(job, 5));
    ASSERT_TRUE(sent.first_time(job, 999));
    EXPECT_TRUE(sent.first_time(job, 5));
}

// A hashing thread takes job_mutex to copy a new job, so no line may be written while it is
// held: a stalled console would stall every thread that refreshes its job.
TEST(Protocol, NoLineIsReportedWhileTheJobLockIsHeld) {
    std::vector<std::string> lines;
    std::vector<std::string> under_lock;
    const Pool* watched = nullptr;
    Pool pool([&](const ReportLine& line) {
        lines.push_back(line.text);
        if (!PoolTestAccess::job_lock_free(*watched)) under_lock.push_back(line.text);
    });
    watched = &pool;
    PoolTestAccess::open_connection(pool);
    PoolTestAccess::await_reply(pool, Pool::LOGIN_ID);
    const std::string job = R"({"method":"job","params":)";
    for (const std::string& line : {
             R"({"id":1,"result":)" + job_params("") + "}",
             job + job_params(R"(,"nonce_start":5)") + "}",  // the next range
             job + job_params("", std::string(10, 'a')) + "}",
             std::string("new connection"),
             job + job_params(R"(,"nonce_start":5)") + "}",  // the same range again
             job + job_params("") + "}",
         }) {
        if (line == "new connection") {
            PoolTestAccess::open_connection(pool);
        } else {
            pool.handle_line(line);
        }
    }
    EXPECT_EQ(lines.size(), 6u);
    EXPECT_EQ(under_lock, std::vector<std::string>{});
}

TEST(Protocol, BadJobsAreRejectedAndTheOldJobStays) {
    const std::string upper = [] {
        std::string h = kHeader;
        for (auto& ch : h) ch = static_cast<char>(toupper(ch));
        return h;
    }();
    const struct {
        std::string params;
        bool accepted;
    } cases[] = {
        {job_params("", std::string(222, 'a')), false},
        {job_params("", std::string(226, 'a')), false},
        {job_params("", "g" + std::string(223, 'a')), false},
        {job_params("", kHeader, std::string(63, 'f')), false},
        {job_params("", kHeader, "x" + std::string(63, 'f')), false},
        {R"({"job_id":"j","target":")" + kTarget + "\"}", false},
        {R"({"job_id":"j","header_base":")" + kHeader + "\"}", false},
        {R"({"job_id":"j","header_base":7,"target":")" + kTarget + "\"}", false},
        {"42", false},
        {"[]", false},
        {job_params("", upper, "00FF" + std::string(60, 'F')), true},
    };
    for (const auto& c : cases) {
        Recorder rec;
        Pool pool(rec.lines(), rec.verdicts());
        pool.handle_line(job_line(R"(,"height":1)"));
        ASSERT_EQ(pool.job_seq(), 1u);
        pool.handle_line(R"({"method":"job","params":)" + c.params + "}");
        EXPECT_EQ(pool.job_seq(), c.accepted ? 2u : 1u) << c.params;
        Job job = current_job(pool);
        EXPECT_TRUE(job.valid);
        EXPECT_EQ(job.height, c.accepted ? 0u : 1u);
        EXPECT_EQ(rec.count("job rejected: bad header_base/target"), c.accepted ? 0u : 1u);
    }
}

TEST(Protocol, JobWithoutIdIsPublishedButInvalid) {
    Recorder rec;  // outlives the client that reports to it
    Pool pool(rec.lines(), rec.verdicts());
    pool.handle_line(job_line());
    pool.handle_line(R"({"method":"job","params":{"header_base":")" + kHeader + R"(","target":")" +
                     kTarget + R"(","height":8}})");
    EXPECT_EQ(pool.job_seq(), 2u);
    Job job = current_job(pool);
    EXPECT_FALSE(job.valid);
    EXPECT_EQ(job.seq, 2u);
    EXPECT_EQ(rec.count("new job " + kEmDash + " height 8, difficulty 0"), 1u);
}

// Every line kind and what it must produce: log lines in order, and share results.
TEST(Protocol, LineTable) {
    using R = Recorder::Result;
    const std::string job_msg = "new job " + kEmDash + " height 7, difficulty 9";
    const struct {
        std::string line;
        std::vector<std::string> logs;
        std::vector<R> results;
        uint64_t jobs;
    } cases[] = {
        {"not json", {}, {}, 0},
        {R"({"method":"job"})", {}, {}, 0},
        {R"({"method":"job","id":5})", {}, {}, 0},  // a request without params: dropped
        {R"({"method":"job","id":5,"params":)" + job_params(R"(,"height":7,"difficulty":9)") + "}",
         {job_msg},
         {},
         1},
        {R"({"method":"notification","params":{"kind":"maintenance","type":"x"}})",
         {"pool notice: maintenance"},
         {},
         0},
        {R"({"method":"notification","params":{"kind":5,"type":"upgrade"}})",
         {"pool notice: upgrade"},
         {},
         0},
        {R"({"method":"notification","params":{"kind":null}})",
         {"pool notice: notification"},
         {},
         0},
        {R"({"method":"notification","params":3})", {"pool notice: notification"}, {}, 0},
        {R"({"method":"notification"})", {}, {}, 0},
        {R"({"method":"unknown"})", {}, {}, 0},
        {R"({"id":1,"result":{"status":"OK"}})", {"logged in"}, {}, 0},
        {R"({"id":1})", {"logged in"}, {}, 0},
        {R"({"id":1,"result":)" + job_params(R"(,"height":7,"difficulty":9)") + "}",
         {job_msg, "logged in"},
         {},
         1},
        {R"({"id":1,"result":{"job_id":"x"}})",
         {"job rejected: bad header_base/target", "logged in"},
         {},
         0},
        {R"({"id":1,"error":"bad address"})", {"login refused: bad address"}, {}, 0},
        {R"({"id":1,"error":{"code":3}})", {R"(login refused: {"code":3})"}, {}, 0},
        {R"({"id":1,"error":{"code":3,"message":"Unauthorized"}})",
         {"login refused: Unauthorized"},
         {},
         0},
        {R"({"id":1,"error":null})", {"logged in"}, {}, 0},
        // Ids not written as the client wrote them answer nothing.
        {R"({"id":+1,"error":"no"})", {}, {}, 0},
        {R"({"id":"1","error":"no"})", {}, {}, 0},
        {R"({"id":01})", {}, {}, 0},
        {R"({"id":1.0})", {}, {}, 0},
        {R"({"id":null,"result":{"status":"rejected"}})", {}, {}, 0},
        {R"({"id":"2","result":{}})", {}, {}, 0},
        {R"({"id":42,"status":"OK"})", {}, {}, 0},   // never sent
        {R"({"id":9,"method":"ping"})", {}, {}, 0},  // a request of the pool, not a reply
        {R"({"id":2,"status":"OK"})", {}, {R{true, "OK"}}, 0},
        {R"({"id":2,"status":"ok"})", {}, {R{true, "ok"}}, 0},
        {R"({"id":2,"status":"accepted"})", {}, {R{true, "accepted"}}, 0},
        {R"({"id":2})", {}, {R{true, ""}}, 0},
        {R"({"id":2,"status":"Accepted"})", {}, {R{false, ""}}, 0},
        {R"({"id":2,"status":"OK","error":"low difficulty"})", {}, {R{false, "low difficulty"}}, 0},
        // Every error that is not a string is an error too: its message, else its JSON text.
        {R"({"id":7,"error":{"code":23,"message":"Low difficulty share"}})",
         {},
         {R{false, "Low difficulty share"}},
         0},
        {R"({"id":7,"error":{"code":1}})", {}, {R{false, R"({"code":1})"}}, 0},
        {R"({"id":7,"error":{ "code" : 1, "message" : 5 }})",
         {},
         {R{false, R"({"code":1,"message":5})"}},
         0},
        {R"({"id":7,"error":[1,"x\"y"],"status":"OK"})", {}, {R{false, R"([1,"x\"y"])"}}, 0},
        {R"({"id":7,"error":-23})", {}, {R{false, "-23"}}, 0},
        {R"({"id":7,"error":true})", {}, {R{false, "true"}}, 0},
        {R"({"id":7,"error":false,"status":"OK"})", {}, {R{true, "OK"}}, 0},
        {R"({"id":7,"error":null,"status":"OK"})", {}, {R{true, "OK"}}, 0},
        {R"({"id":7,"error":""})", {}, {R{true, ""}}, 0},
        {R"({"id":9,"result":{"status":"bad"},"status":5})", {}, {R{true, ""}}, 0},
        {R"([{"id":2}])", {}, {}, 0},
        {R"({"id":2} trailing)", {}, {}, 0},
        {"{\"id\":2,\"status\":\"OK\"}\r", {}, {R{true, "OK"}}, 0},
    };
    for (const auto& c : cases) {
        Recorder rec;
        Pool pool(rec.lines(), rec.verdicts());
        for (uint64_t id : std::initializer_list<uint64_t>{1, 2, 5, 7, 9})
            PoolTestAccess::await_reply(pool, id);
        pool.handle_line(c.line);
        EXPECT_EQ(rec.logs(), c.logs) << c.line;
        auto results = rec.results();
        ASSERT_EQ(results.size(), c.results.size()) << c.line;
        for (size_t i = 0; i < results.size(); ++i) {
            EXPECT_EQ(results[i].accepted, c.results[i].accepted) << c.line;
            EXPECT_EQ(results[i].reason, c.results[i].reason) << c.line;
        }
        EXPECT_EQ(pool.job_seq(), c.jobs) << c.line;
    }
}

// Each request is answered once: a repeated reply, a reply to an id never sent, and a reply to
// a request of an earlier connection count nothing; a later id 1 is no login reply.
TEST(Protocol, RepliesCountOnceForRequestsOfThisConnection) {
    Recorder rec;  // outlives the client that reports to it
    Pool pool(rec.lines(), rec.verdicts());
    PoolTestAccess::set_connected(pool, true);  // the requests are queued and awaited
    pool.send_login();
    uint8_t hash[32] = {};
    pool.submit("j", 1, hash);  // id 2
    pool.submit("j", 2, hash);  // id 3
    const char* lines[] = {
        R"({"id":1,"result":{"status":"OK"}})",
        R"({"id":1,"error":"late"})",
        R"({"id":2,"status":"OK"})",
        R"({"id":2,"status":"OK"})",
        R"({"id":4,"status":"OK"})",
        R"({"id":3,"error":"stale"})",
        R"({"id":3,"status":"OK"})",
    };
    for (const char* line : lines) pool.handle_line(line);
    EXPECT_EQ(rec.logs(), std::vector<std::string>{"logged in"});
    auto results = rec.results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_TRUE(results[0].accepted);
    EXPECT_FALSE(results[1].accepted);
    EXPECT_EQ(results[1].reason, "stale");

    pool.submit("j", 3, hash);  // id 4, then the connection is replaced
    PoolTestAccess::open_connection(pool);
    pool.handle_line(R"({"id":4,"status":"OK"})");
    EXPECT_EQ(rec.results().size(), 2u);
    PoolTestAccess::set_connected(pool, false);
}

// Pool-supplied texts are cut at 200 characters (not bytes) before they reach a message.
TEST(Protocol, LongPoolTextsAreCut) {
    Recorder rec;  // outlives the client that reports to it
    Pool pool(rec.lines(), rec.verdicts());
    const std::string ellipsis = "\xE2\x80\xA6";
    std::string accented;
    for (int i = 0; i < 300; ++i) accented += "\xC3\xA9";  // U+00E9, two bytes each
    pool.handle_line(R"({"method":"notification","params":{"kind":")" + std::string(1000000, 'k') +
                     "\"}}");
    PoolTestAccess::await_reply(pool, 1);
    pool.handle_line(R"({"id":1,"error":")" + accented + "\"}");
    PoolTestAccess::await_reply(pool, 2);
    pool.handle_line(R"({"id":2,"error":{"message":")" + std::string(200, 'm') + "\"}}");
    std::string accented_200;
    for (int i = 0; i < 200; ++i) accented_200 += "\xC3\xA9";
    EXPECT_EQ(rec.logs(), (std::vector<std::string>{
                              "pool notice: " + std::string(200, 'k') + ellipsis,
                              "login refused: " + accented_200 + ellipsis,
                          }));
    ASSERT_EQ(rec.results().size(), 1u);
    EXPECT_EQ(rec.results()[0].reason, std::string(200, 'm'));  // exactly 200: not cut
}

TEST(Protocol, NoCallbacksNoCrash) {
    Pool pool;
    pool.handle_line(job_line());
    pool.handle_line(R"({"id":2,"error":"x"})");
    pool.handle_line(R"({"method":"notification","params":{}})");
    EXPECT_EQ(pool.job_seq(), 1u);
}

// A client whose socket is one end of a socket pair, so the tests read what it sends.
class WiredPool : public ::testing::Test {
  protected:
    void SetUp() override { PoolTestAccess::set_connected(pool_, true); }
    void TearDown() override { PoolTestAccess::set_connected(pool_, false); }
    // Without a connection thread the lines stay queued, exactly as they would be written.
    std::string read_all_available() { return PoolTestAccess::take_outbox(pool_); }
    Pool pool_;
};

TEST_F(WiredPool, LoginLineByteForByte) {
    PoolTestAccess::set_login(pool_, "addr\"1\\", "rig\x01");
    pool_.send_login();
    EXPECT_EQ(read_all_available(),
              R"({"id":1,"method":"login","params":{"address":"addr\"1\\","worker":"rig\u0001",)"
              R"("protocol_version":2,"capabilities":["submit_claimed_hash"],)"
              R"("difficulty_hint":null}})"
              "\n");
}

TEST_F(WiredPool, SubmitLineByteForByte) {
    uint8_t hash[32];
    for (int i = 0; i < 32; ++i) hash[i] = static_cast<uint8_t>(i);
    pool_.submit("abc", 42, hash);
    uint8_t ff[32];
    for (auto& b : ff) b = 0xff;
    pool_.submit("q\"", 18446744073709551615ull, ff);
    EXPECT_EQ(read_all_available(),
              R"({"id":2,"method":"submit","params":{"job_id":"abc","nonce":42,"claimed_hash":")"
              "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\"}}\n"
              R"({"id":3,"method":"submit","params":{"job_id":"q\"","nonce":18446744073709551615,)"
              "\"claimed_hash\":\"" +
                  std::string(64, 'f') + "\"}}\n");
    EXPECT_EQ(pool_.next_submit_id(), 4u);
}

TEST_F(WiredPool, SendLineWithoutSocketFails) {
    Pool idle;
    EXPECT_FALSE(idle.send_line("x"));
    uint8_t hash[32] = {};
    idle.submit("j", 1, hash);  // no connection: dropped, but the id is used
    EXPECT_EQ(idle.next_submit_id(), 3u);
    EXPECT_TRUE(pool_.send_line("x"));
}

// Concurrent submits: every line whole, ids distinct and, per thread, increasing.
TEST_F(WiredPool, ConcurrentSubmitsProduceWholeLines) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            uint8_t hash[32];
            for (auto& b : hash) b = static_cast<uint8_t>(t);
            for (int i = 0; i < kPerThread; ++i) {
                pool_.submit("job-" + std::to_string(t), static_cast<uint64_t>(i), hash);
            }
        });
    }
    for (auto& th : threads) th.join();
    const std::string received = read_all_available();

    std::vector<bool> seen(2 + kThreads * kPerThread, false);
    std::vector<uint64_t> last_id(kThreads, 0);
    std::vector<int> next_nonce(kThreads, 0);
    size_t start = 0;
    int lines = 0;
    while (start < received.size()) {
        size_t lf = received.find('\n', start);
        ASSERT_NE(lf, std::string::npos);
        JsonValue v;
        ASSERT_TRUE(parse_json(received.substr(start, lf - start), v));
        start = lf + 1;
        ++lines;
        uint64_t id = v.get_u64("id", 0);
        ASSERT_GE(id, 2u);
        ASSERT_LT(id, seen.size());
        EXPECT_FALSE(seen[id]);
        seen[id] = true;
        const JsonValue* params = v.find("params");
        ASSERT_NE(params, nullptr);
        const int digit = params->get_string("job_id", "").back() - '0';
        ASSERT_TRUE(digit >= 0 && digit < kThreads);
        const auto t = static_cast<size_t>(digit);
        EXPECT_GT(id, last_id[t]);
        last_id[t] = id;
        EXPECT_EQ(params->get_u64("nonce", 99999), static_cast<uint64_t>(next_nonce[t]++));
        EXPECT_EQ(params->get_string("claimed_hash", "").size(), 64u);
    }
    EXPECT_EQ(lines, kThreads * kPerThread);
}

}  // namespace
}  // namespace orvo::qel
