#include "app/dev_fee.h"

namespace orvo::qel {

Login fee_login(bool dev_fee, const std::string& user_address, const std::string& user_worker) {
    if (dev_fee) return {DEV_FEE_ADDRESS, DEV_FEE_WORKER};
    return {user_address, user_worker};
}

}  // namespace orvo::qel
