#include "app/dev_fee.h"

#include "base/console.h"

namespace orvo::qel {

Login fee_login(bool dev_fee, const std::string& user_address, const std::string& user_worker) {
    if (dev_fee) return {DEV_FEE_ADDRESS, DEV_FEE_WORKER};
    return {user_address, user_worker};
}

void check_dev_fee(uint64_t elapsed_s, bool& active, Pool& pool, Pool::Config& pool_config,
                   const std::string& user_address, const std::string& user_worker) {
    const bool wanted = dev_fee_wanted(elapsed_s);
    if (wanted == active) return;
    pool.stop();
    Login login = fee_login(wanted, user_address, user_worker);
    pool_config.address = login.address;
    pool_config.worker = login.worker;
    pool.start(pool_config);
    log_line(palette.gray, "fee  ", wanted ? "1% dev contribution (1 min)" : "back to user wallet");
    active = wanted;
}

}  // namespace orvo::qel
