// Fuzzes the protocol handler of a client with no socket: every line a pool could send.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pool/pool.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t logs = 0;
    size_t results = 0;
    orvo::qel::Pool pool(
        [&](const orvo::qel::ReportLine& line) {
            check(!line.text.empty());
            ++logs;
        },
        [&](bool, const std::string&) { ++results; });
    // Several lines per input, split at line feeds the way the connection thread frames them.
    std::string buffer(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= buffer.size()) {
        size_t lf = buffer.find('\n', start);
        if (lf == std::string::npos) lf = buffer.size();
        if (lf > start) pool.handle_line(buffer.substr(start, lf - start));
        start = lf + 1;
    }
    const uint64_t seq = pool.job_seq();
    orvo::qel::Job job;
    pool.board().refresh_job_copy(job);
    check(job.seq == seq);
    check(!job.valid || !job.job_id.empty());
    check(pool.next_submit_id() == 2);
    return 0;
}
