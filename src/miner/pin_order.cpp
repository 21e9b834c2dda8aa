#include "miner/pin_order.h"

#include <algorithm>

namespace orvo::qel {

int64_t l3_arenas(const L3Group& group) {
    return group.l3_bytes > 0 ? group.l3_bytes / L3_BYTES_PER_ARENA
                              : static_cast<int64_t>(group.first_threads.size());
}

std::vector<int32_t> build_pin_order(const L3Groups& groups, int32_t arenas_per_thread) {
    std::vector<std::vector<int32_t>> lists;
    for (const auto& [id, group] : groups) {
        int64_t cap = l3_arenas(group) / std::max(1, arenas_per_thread);
        int64_t available =
            static_cast<int64_t>(group.first_threads.size() + group.sibling_threads.size());
        int64_t take = std::max<int64_t>(1, std::min(available, cap));

        std::vector<int32_t> list = group.first_threads;
        list.insert(list.end(), group.sibling_threads.begin(), group.sibling_threads.end());
        if (static_cast<int64_t>(list.size()) > take) list.resize(static_cast<size_t>(take));
        lists.push_back(std::move(list));
    }

    std::vector<int32_t> order;
    for (size_t j = 0;; ++j) {
        bool appended = false;
        for (const auto& list : lists) {
            if (list.size() > j) {
                order.push_back(list[j]);
                appended = true;
            }
        }
        if (!appended) break;
    }
    return order;
}

}  // namespace orvo::qel
