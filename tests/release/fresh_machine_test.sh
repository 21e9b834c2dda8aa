#!/usr/bin/env bash
# Proves the README's Quick start on a fresh machine: a minimal Debian 12 root (debootstrap
# bookworm) with only cmake, g++, clang, make and git, none of the libraries the build and the
# tests need. In a fresh clone of a branch of this repository, inside that root:
#   - as an unprivileged user, `make test` names the one apt-get line to run and stops, leaving no
#     configured build/ behind;
#   - as root, `make demo` installs what the miner and the stand-in pool need, builds those two
#     only (no test suite), mines with every share valid and ends by itself;
#   - then `make test` installs the rest and passes;
#   - a configure step that fails leaves no CMakeCache.txt, and the next `make build` works.
# Prints how long `make demo` and `make test` took. Slow (the whole build and suite on the
# machine's cores): CI does not run it. Runs as root (chroot, mount namespaces).
# usage: fresh_machine_test.sh [branch]   (default: the branch checked out here; only commits
#                                         count, not uncommitted changes)
# The Debian root is made once and kept in $MINTRAKEL_FRESH_CACHE (default
# /var/cache/mintrakel-fresh), with the packages downloaded since, so later runs are faster.
# Ends with "fresh: N passed, M failed".
set -u

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
branch=${1:-$(git -C "$root_dir" rev-parse --abbrev-ref HEAD)}
origin=$(cd "$root_dir" && cd "$(git rev-parse --git-common-dir)" && pwd)
cache=${MINTRAKEL_FRESH_CACHE:-/var/cache/mintrakel-fresh}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
demo_seconds=${DEMO_SECONDS:-30}

# shellcheck source-path=SCRIPTDIR/../support
# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
give_up() {
    echo "fresh: $*" >&2
    echo "fresh: $passed passed, $((failed + 1)) failed"
    exit 1
}

[[ $(id -u) == 0 ]] || give_up "must run as root (chroot into the Debian 12 root)"
for tool in debootstrap unshare chroot setpriv git; do
    command -v "$tool" >/dev/null || give_up "$tool is missing"
done
git -C "$origin" rev-parse --verify -q "refs/heads/$branch" >/dev/null ||
    give_up "no branch $branch in $origin"

# --- the Debian 12 root, made once ------------------------------------------------------------
# Only what a new build machine of this kind holds: a minbase root and the compiler tools. A
# richer root would hide a package missing from tools/debian-packages.txt, so the cached root is
# named for its package set and a root made with another set is never reused.
root_packages=cmake,g++,clang,make,git
base=$cache/bookworm-minbase-${root_packages//,/-}
if [[ ! -f $base/.complete ]]; then
    mkdir -p "$cache"
    rm -rf "$base" "$base.partial"
    echo "fresh: debootstrap bookworm from $mirror into $base"
    debootstrap --variant=minbase --include="$root_packages" bookworm \
        "$base.partial" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
        give_up "debootstrap failed: $(tail -n 3 "$cache/debootstrap.log")"
    rm -f "$base.partial"/var/cache/apt/archives/*.deb
    touch "$base.partial/.complete"
    mv "$base.partial" "$base"
fi
work=$(mktemp -d /var/tmp/mintrakel-fresh.XXXXXX)
cleanup() {
    # Nothing is mounted into the root outside its private mount namespaces, so removing it
    # cannot reach the host's /proc, /sys or /dev.
    if ((failed)) || [[ -n ${MINTRAKEL_FRESH_KEEP:-} ]]; then
        echo "fresh: kept $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
root=$work/root
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# debootstrap writes no /etc/hosts (the installer does): every installed machine names localhost.
[[ -e $root/etc/hosts ]] || printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
# Packages downloaded by an earlier run are kept beside the root (installing still runs).
mkdir -p "$cache/apt-archives/partial"

# Runs a shell command in the root, in a private mount namespace with /proc, /sys (with the
# cgroup hierarchies), /dev and the repository (read-only) mounted; all of it ends with the
# command. The root is bound onto itself so that it is a mount point, as an installed system's
# root is: `unshare -m` inside it (the tests' own namespaces) needs one.
in_root() {
    # shellcheck disable=SC2016  # expanded by the inner shell
    unshare --mount --propagation private sh -c '
        r=$0 && mount --bind "$r" "$r" && mount -t proc proc "$r/proc" &&
        mount --rbind /sys "$r/sys" &&
        mount --rbind /dev "$r/dev" && mkdir -p "$r/mnt/origin" &&
        mount --bind -o ro "$1" "$r/mnt/origin" &&
        mount --bind "$2" "$r/var/cache/apt/archives" &&
        exec chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
            TERM=dumb DEMO_SECONDS="$3" bash -c "$4"' \
        "$root" "$origin" "$cache/apt-archives" "$demo_seconds" "$1"
}
src=/opt/mintrakel
for p in libgtest-dev libbenchmark-dev libsodium-dev libboost-dev; do
    check "the fresh root lacks $p" bash -c "! chroot '$root' dpkg-query -W -f='\${db:Status-Status}' $p 2>/dev/null | grep -qx installed"
done
in_root "git clone -q --branch '$branch' /mnt/origin $src && git -C $src log --oneline -1" \
    >"$work/clone.log" 2>&1
check "a fresh clone of $branch" test -f "$root$src/Makefile"
echo "fresh: testing $(tail -n 1 "$work/clone.log")"

# --- not root: one line to run, nothing configured --------------------------------------------
chown -R 65534:65534 "$root$src"
in_root "cd $src && setpriv --reuid 65534 --regid 65534 --clear-groups make test" \
    >"$work/user.log" 2>&1
check "as a user, make test stops" test $? -ne 0
check "as a user, make test names the apt-get line" \
    grep -Eq '^  apt-get install -y .*libgtest-dev' "$work/user.log"
check "as a user, make test leaves no CMakeCache.txt" test ! -e "$root$src/build/CMakeCache.txt"
chown -R 0:0 "$root$src"

# --- make demo, then make test, as root ---------------------------------------------------------
timed() {  # timed <name> <command in the root>: runs it, logs to $work/<name>.log, sets $seconds
    local started=$SECONDS
    in_root "$2" >"$work/$1.log" 2>&1
    local status=$?
    seconds=$((SECONDS - started))
    return $status
}
timed demo "cd $src && make demo"
check "make demo exits 0" test $? -eq 0
demo_time=$seconds
check "make demo installed libboost-dev" grep -q 'installing .*libboost-dev' "$work/demo.log"
check "make demo installed no test package" bash -c "! grep -q 'installing .*libgtest-dev' '$work/demo.log'"
check "make demo mined with accepted shares" contains "$work/demo.log" "accepted (1/0)"
check "make demo: every share the stand-in judged was valid" \
    grep -Eq 'stand-in pool: valid [1-9][0-9]* invalid 0 duplicate 0' "$work/demo.log"
check "make demo ended by itself, cleanly" contains "$work/demo.log" "clean exit"
check "make demo built the miner and the stand-in pool" \
    test -x "$root$src/build/mintrakel" -a -x "$root$src/build/standin_pool"
check "make demo built no test program" test ! -e "$root$src/build/tests/miner_tests"

timed test "cd $src && make test"
check "make test exits 0" test $? -eq 0
test_time=$seconds
check "make test: every test passed" grep -q '100% tests passed' "$work/test.log"
# A test that skips for want of a tool would pass here and hide a package missing from the list.
check "make test skipped nothing for want of a package" bash -c \
    "! grep -E 'not found \\(package' '$work/test.log' &&
     ! grep -E 'missing, skipped|is not installed|not available|no strace|needs root, unshare' \
        '$root$src/build/Testing/Temporary/LastTest.log'"
recompiled=$(grep -c 'Building CXX object src/' "$work/test.log")
suite=$(sed -n 's/^Total Test time (real) = *\([0-9.]*\) sec$/\1/p' "$work/test.log")
skipped=$(grep -c '\*\*\*Skipped' "$work/test.log")

# --- a failed configure, then a working one ---------------------------------------------------
in_root "cd $src && make build CMAKE_FLAGS=-DCMAKE_CXX_COMPILER=/nonexistent/c++" \
    >"$work/broken.log" 2>&1
check "a configure with a missing compiler fails" test $? -ne 0
check "the failed configure leaves no CMakeCache.txt" test ! -e "$root$src/build/CMakeCache.txt"
in_root "cd $src && make build" >"$work/again.log" 2>&1
check "the next make build works" test $? -eq 0

echo "fresh: make demo took ${demo_time} s (of which ${demo_seconds} s mining)," \
    "make test ${test_time} s (the suite itself ${suite:-?} s, ${skipped} tests skipped;" \
    "${recompiled} miner sources compiled again)"
((failed)) && for log in user demo test broken again; do
    echo "--- $log.log (last lines)" >&2
    tail -n 15 "$work/$log.log" >&2
done
echo "fresh: $passed passed, $failed failed"
((failed == 0))
