#include "miner/cgroup_limits.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

namespace orvo::qel {

namespace {

// cgroup v1 writes "no limit" as the largest page multiple below 2^63; anything this large is
// no limit for a miner.
constexpr int64_t V1_UNLIMITED_FROM = int64_t{1} << 62;

// mountinfo escapes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescape_mount_path(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
            text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool has_item(const std::string& comma_list, const std::string& item) {
    std::stringstream in(comma_list);
    std::string piece;
    while (std::getline(in, piece, ',')) {
        if (piece == item) return true;
    }
    return false;
}

struct Mount {
    std::string root;         // the hierarchy's directory that is mounted
    std::string mount_point;  // where it is mounted
};

// The first mount of a cgroup hierarchy: v1 with `controller` among its super options, or v2
// when `controller` is empty.
std::optional<Mount> find_mount(const std::string& mountinfo, const std::string& controller) {
    std::ifstream in(mountinfo);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream words(line);
        std::string word;
        while (words >> word) fields.push_back(word);
        // id parent major:minor root mount-point options [optional...] - type source super
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (dash + 1 >= fields.size()) continue;
        const std::string& type = fields[dash + 1];
        const std::string super = dash + 3 < fields.size() ? fields[dash + 3] : "";
        const bool match = controller.empty() ? type == "cgroup2"
                                              : type == "cgroup" && has_item(super, controller);
        if (match) return Mount{unescape_mount_path(fields[3]), unescape_mount_path(fields[4])};
    }
    return std::nullopt;
}

// The process's path in the hierarchy from /proc/self/cgroup: the v1 line whose controller list
// names `controller`, or the v2 line ("0::<path>") when `controller` is empty.
std::optional<std::string> find_cgroup_path(const std::string& proc_self_cgroup,
                                            const std::string& controller) {
    std::ifstream in(proc_self_cgroup);
    std::string line;
    while (std::getline(in, line)) {
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string id = line.substr(0, first);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const bool match = controller.empty() ? id == "0" && controllers.empty()
                                              : has_item(controllers, controller);
        if (match) return line.substr(second + 1);
    }
    return std::nullopt;
}

// The directory of the process's cgroup and its parents up to the mount point.
void append_levels(const CgroupPaths& paths, const std::string& controller,
                   std::vector<std::string>& levels) {
    std::optional<Mount> mount = find_mount(paths.mountinfo, controller);
    std::optional<std::string> path = find_cgroup_path(paths.proc_self_cgroup, controller);
    if (!mount || !path) return;
    // Inside a cgroup namespace or a container the mount shows the process's own cgroup (or an
    // ancestor) as its root; the rest of the path lies below the mount point. A path outside
    // the mounted part ("/.." in a namespace, another subtree) leaves only the mount point.
    std::string below;
    const std::string& root = mount->root;
    if (path->find("/..") == std::string::npos) {
        if (root == "/") {
            below = *path;
        } else if (path->compare(0, root.size(), root) == 0 &&
                   (path->size() == root.size() || (*path)[root.size()] == '/')) {
            below = path->substr(root.size());
        }
    }
    while (!below.empty() && below.back() == '/') below.pop_back();
    const std::string top = paths.fs_root + mount->mount_point;
    for (;;) {
        levels.push_back(top + below);
        if (below.empty()) break;
        below.erase(below.rfind('/'));
    }
}

// The first white-space-delimited word of a file; nothing when it cannot be read.
std::optional<std::string> read_word(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    if (!(in >> word)) return std::nullopt;
    return word;
}

// A whole decimal number (optional leading minus) that fits 64 bits.
std::optional<int64_t> parse_int64(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || end == text.c_str() || *end != '\0') return std::nullopt;
    return v;
}

std::optional<int64_t> read_int64(const std::string& path) {
    std::optional<std::string> word = read_word(path);
    if (!word) return std::nullopt;
    return parse_int64(*word);
}

// A memory limit file: a byte count; "max", no file, garbage or a v1 "no limit": nothing.
std::optional<int64_t> read_memory_limit(const std::string& path) {
    std::optional<int64_t> v = read_int64(path);
    if (!v || *v < 0 || *v >= V1_UNLIMITED_FROM) return std::nullopt;
    return v;
}

void consider(std::optional<CgroupMemory>& tightest, int64_t limit, const std::string& usage_file) {
    const CgroupMemory level{limit, read_int64(usage_file).value_or(0)};
    if (!tightest || level.free_bytes() < tightest->free_bytes()) tightest = level;
}

// a/b < c/d for positive periods, without overflow for any value a kernel accepts.
bool less_cpus(const CpuQuota& x, const CpuQuota& y) {
    return static_cast<__int128>(x.quota_us) * y.period_us <
           static_cast<__int128>(y.quota_us) * x.period_us;
}

void consider(std::optional<CpuQuota>& tightest, std::optional<int64_t> quota,
              std::optional<int64_t> period) {
    if (!quota || !period || *quota <= 0 || *period <= 0) return;
    const CpuQuota level{*quota, *period};
    if (!tightest || less_cpus(level, *tightest)) tightest = level;
}

}  // namespace

std::vector<std::string> cgroup_levels(const CgroupPaths& paths, const std::string& v1_controller) {
    std::vector<std::string> levels;
    append_levels(paths, v1_controller, levels);
    append_levels(paths, "", levels);
    return levels;
}

int32_t CpuQuota::whole_cpus() const {
    if (quota_us <= 0 || period_us <= 0) return 1;
    const int64_t cpus = quota_us / period_us + (quota_us % period_us != 0 ? 1 : 0);
    if (cpus > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return cpus < 1 ? 1 : static_cast<int32_t>(cpus);
}

std::optional<CgroupMemory> read_cgroup_memory(const CgroupPaths& paths) {
    std::optional<CgroupMemory> tightest;
    for (const std::string& dir : cgroup_levels(paths, "memory")) {
        // Only one version's files exist in a directory; both are tried.
        if (auto limit = read_memory_limit(dir + "/memory.limit_in_bytes")) {
            consider(tightest, *limit, dir + "/memory.usage_in_bytes");
        }
        // Above memory.high the kernel throttles and reclaims hard; a miner there crawls.
        for (const char* file : {"/memory.max", "/memory.high"}) {
            if (auto limit = read_memory_limit(dir + file)) {
                consider(tightest, *limit, dir + "/memory.current");
            }
        }
    }
    return tightest;
}

std::optional<CpuQuota> read_cgroup_cpu_quota(const CgroupPaths& paths) {
    std::optional<CpuQuota> tightest;
    for (const std::string& dir : cgroup_levels(paths, "cpu")) {
        consider(tightest, read_int64(dir + "/cpu.cfs_quota_us"),
                 read_int64(dir + "/cpu.cfs_period_us"));
        std::ifstream in(dir + "/cpu.max");
        std::string quota, period;
        if (in >> quota >> period) consider(tightest, parse_int64(quota), parse_int64(period));
    }
    return tightest;
}

}  // namespace orvo::qel
