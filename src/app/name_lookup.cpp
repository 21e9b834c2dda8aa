#include "app/name_lookup.h"

#if MINTRAKEL_STATIC_GLIBC
#include <nss.h>
#endif

namespace orvo::qel {

void use_builtin_name_sources() {
#if MINTRAKEL_STATIC_GLIBC
    // Fails only for an unknown database name or when out of memory; the look-up then behaves
    // as nsswitch.conf says, which is no worse than not asking.
    (void)__nss_configure_lookup("hosts", "files dns");
#endif
}

}  // namespace orvo::qel
