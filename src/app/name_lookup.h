// Host-name look-up set-up for the fully static release binary.
#pragma once

namespace orvo::qel {

// A statically linked glibc can resolve names only through the sources built into it: "files"
// (/etc/hosts) and "dns". Any other source that the host's /etc/nsswitch.conf names (mdns,
// myhostname, resolve, ...) would be loaded as a shared module of the host's glibc, and a static
// glibc of another version aborts on that. In the static build this restricts host look-ups to
// files and dns, whatever nsswitch.conf says; elsewhere it does nothing and the system's
// configuration applies in full. Call it before any thread resolves a name.
void use_builtin_name_sources();

}  // namespace orvo::qel
