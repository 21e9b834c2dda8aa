#!/usr/bin/env bash
# Proves dist/ as users meet it. Runs as root (chroot, mount namespaces), after `make release`:
#   - the archives' sums, layouts and modes, and the same static binary in both;
#   - the binary needs no shared library and starts (and refuses cleanly) on a baseline CPU;
#   - in a minimal Debian 11 root (glibc 2.31) whose nsswitch.conf names libnss-mdns, it passes
#     --verify, mines against the stand-in pool found through that root's /etc/hosts with every
#     share accepted, and reports an unknown pool host with its "cannot reach" line;
#   - the HiveOS and mmpOS packages' contracts (hiveos_test.sh, mmpos_test.sh) with the packaged
#     binary;
#   - the systemd unit (service_test.sh), when systemd-analyze is there.
# usage: release_test.sh <release build dir> <normal build dir (for standin_pool)>
# The Debian root is made once with debootstrap and kept in $MINTRAKEL_RELEASE_CACHE.
# Ends with "release: N passed, M failed".
set -u

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
release_build=$(cd "$1" && pwd)
standin=$(cd "$2" && pwd)/standin_pool
cache=${MINTRAKEL_RELEASE_CACHE:-/var/cache/mintrakel-ci}
# Bullseye is on Debian's main mirror; once it moves, on the archive. DEBIAN_MIRROR goes first.
mirrors=(http://deb.debian.org/debian http://archive.debian.org/debian)
[[ -n ${DEBIAN_MIRROR:-} ]] && mirrors=("$DEBIAN_MIRROR" "${mirrors[@]}")
dist=$root_dir/dist
started=$(date +%s)

# shellcheck source-path=SCRIPTDIR/../support
# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
give_up() {
    echo "release: $*" >&2
    echo "release: $passed passed, $((failed + 1)) failed"
    exit 1
}

[[ $(id -u) == 0 ]] || give_up "must run as root (chroot into the Debian 11 root)"
for tool in debootstrap jq shellcheck curl python3 file objdump readelf unshare chroot sha256sum; do
    command -v "$tool" >/dev/null || give_up "$tool is missing"
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$release_build/CMakeCache.txt")
[[ -n $version ]] || give_up "no project version in $release_build/CMakeCache.txt"
[[ -x $standin ]] || give_up "no stand-in pool at $standin"

work=$(mktemp -d "$release_build/release-test.XXXXXX")
pool_pid=''
cleanup() {
    [[ -n $pool_pid ]] && stop_process "$pool_pid" 2>/dev/null
    # Nothing is mounted into the copied root outside its private mount namespaces, so removing
    # it cannot reach the host's /proc or /sys.
    rm -rf "$work"
}
trap cleanup EXIT

# --- the archives ----------------------------------------------------------------------------
portable=mintrakel-$version-linux-x64.tar.gz
hive=hiveos/mintrakel-$version.tar.gz
mmpos=mmpos/mintrakel-$version.tar.gz
check "sha256sum -c SHA256SUMS passes" bash -c "cd '$dist' && sha256sum -c SHA256SUMS"
check "SHA256SUMS covers the three archives" \
    test "$(awk '{print $2}' "$dist/SHA256SUMS" | sort | paste -sd' ')" = "$hive $portable $mmpos"

layout() {  # layout <archive> <expected entries, sorted>
    local got
    got=$(tar -tzf "$1" | sort | paste -sd' ')
    test "$got" = "$2" || { echo "layout of $1: $got" >&2; return 1; }
}
top=mintrakel-$version
check "$portable unpacks to $top/ with binary, README, vectors, unit and INSTALL" \
    layout "$dist/$portable" "$top/ $top/INSTALL $top/README.md $top/mintrakel $top/mintrakel.service $top/vectors.txt"
check "$hive unpacks to mintrakel/ with binary, manifest and the h-*.sh scripts" \
    layout "$dist/$hive" "mintrakel/ mintrakel/h-config.sh mintrakel/h-manifest.conf mintrakel/h-run.sh mintrakel/h-stats.sh mintrakel/mintrakel"
check "$mmpos unpacks to mintrakel/ with binary, mmp-external.conf and mmp-stats.sh" \
    layout "$dist/$mmpos" "mintrakel/ mintrakel/mintrakel mintrakel/mmp-external.conf mintrakel/mmp-stats.sh"
mkdir -p "$work/portable" "$work/hive" "$work/mmpos"
tar -C "$work/portable" -xzf "$dist/$portable"
tar -C "$work/hive" -xzf "$dist/$hive"
tar -C "$work/mmpos" -xzf "$dist/$mmpos"
bin=$work/portable/$top/mintrakel
check "the portable binary is executable" test -x "$bin"
check "the HiveOS archive holds the same binary" cmp "$bin" "$work/hive/mintrakel/mintrakel"
check "the mmpOS archive holds the same binary" cmp "$bin" "$work/mmpos/mintrakel/mintrakel"
check "mmp-external.conf carries the version" \
    grep -qx "EXTERNAL_VERSION=$version" "$work/mmpos/mintrakel/mmp-external.conf"
check "the HiveOS manifest carries the version" \
    grep -qx "CUSTOM_VERSION=$version" "$work/hive/mintrakel/h-manifest.conf"
check "INSTALL names the version" contains "$work/portable/$top/INSTALL" "mintrakel $version"

# --- a binary that needs nothing from the host -----------------------------------------------
file "$bin" >"$work/file.txt"
check "file: statically linked x86-64" grep -q "ELF 64-bit LSB executable, x86-64.*statically linked" "$work/file.txt"
check "ldd: not a dynamic executable" bash -c "! ldd '$bin'"
objdump -T "$bin" >"$work/objdump.txt" 2>&1
check "objdump -T: not a dynamic object, no symbol (so no GLIBC_ or GLIBCXX_ version)" \
    bash -c "grep -q 'not a dynamic object' '$work/objdump.txt' && grep -q '^no symbols$' '$work/objdump.txt' && ! grep -q GLIBC '$work/objdump.txt'"
check "readelf: no interpreter, no NEEDED library" \
    bash -c "! readelf -lW -d '$bin' | grep -Eq 'Requesting program interpreter|\\(NEEDED\\)'"
if command -v qemu-x86_64 >/dev/null; then
    # A CPU without AVX2: the start-up path is baseline x86-64, so it refuses with its message.
    qemu-x86_64 -cpu Nehalem "$bin" --no-color --verify /dev/null >"$work/nehalem.out" 2>&1
    check "on a CPU without AVX2 the binary exits 1" test $? -eq 1
    check "on a CPU without AVX2 the binary says why" \
        contains "$work/nehalem.out" "this CPU has neither AVX-512 nor AVX2: not supported"
fi

# --- the Debian 11 root ----------------------------------------------------------------------
# Made once: minbase plus libnss-mdns, whose install puts mdns4_minimal into nsswitch.conf.
base=$cache/bullseye-mdns
if [[ ! -f $base/.complete ]]; then
    mkdir -p "$cache"
    rm -rf "$base" "$base.partial"
    made=''
    for mirror in "${mirrors[@]}"; do
        echo "release: debootstrap bullseye from $mirror into $base"
        if debootstrap --variant=minbase --include=libnss-mdns bullseye "$base.partial" "$mirror" \
            >"$work/debootstrap.log" 2>&1; then
            made=yes
            break
        fi
        tail -n 5 "$work/debootstrap.log" >&2
        rm -rf "$base.partial"
    done
    [[ -n $made ]] || give_up "debootstrap failed from every mirror"
    touch "$base.partial/.complete"
    mv "$base.partial" "$base"
fi
copy_started=$(date +%s)
deb=$work/deb11
cp -a "$base" "$deb"
copy_seconds=$(($(date +%s) - copy_started))
printf '127.0.0.1\tlocalhost\n127.0.0.1\tqelpool.test\n' >"$deb/etc/hosts"
sed -i 's/^hosts:.*/hosts:          files mdns4_minimal [NOTFOUND=return] dns/' "$deb/etc/nsswitch.conf"
# Name servers only on loopback: no look-up ever leaves this machine.
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"$deb/etc/resolv.conf"
cp -a "$work/portable/$top" "$deb/opt/"
check "the root is glibc 2.31" bash -c "chroot '$deb' ldd --version | head -n1 | grep -q ' 2\.31$'"
check "the root has libnss-mdns" test -e "$deb/lib/x86_64-linux-gnu/libnss_mdns4_minimal.so.2"
check "the root's nsswitch.conf names mdns4_minimal" \
    grep -qx 'hosts: *files mdns4_minimal \[NOTFOUND=return\] dns' "$deb/etc/nsswitch.conf"

# Runs a command in the root with its own /proc and /sys (for the topology and meminfo), mounted
# in a private mount namespace that ends with the command. Extra unshare options go first. Each
# step execs the next, so the command keeps the process id of whatever runs in_root: call it in
# a subshell, "(in_root ...)" or "in_root ... &", whose $! is then the command itself.
in_root() {
    local -a ns=()
    while [[ $1 == --* ]]; do ns+=("$1"); shift; done
    exec unshare --mount --propagation private "${ns[@]}" \
        sh -c 'mount -t proc proc "$0/proc" && mount -t sysfs sysfs "$0/sys" && exec chroot "$0" "$@"' \
        "$deb" "$@"
}
miner=/opt/$top/mintrakel

(in_root "$miner" --no-color --verify "/opt/$top/vectors.txt") >"$work/verify.out" 2>&1
check "Debian 11: --verify exits 0" test $? -eq 0
check "Debian 11: --verify passes every record" grep -Eq '^ check verify ([0-9]+)/\1 OK$' "$work/verify.out"
check "Debian 11: the banner shows v$version" contains "$work/verify.out" "v$version"

# Mining through a name from the root's /etc/hosts, the stand-in pool outside the root.
"$standin" --port 0 --difficulty 20 --job-interval 5 >"$work/pool.out" 2>&1 &
pool_pid=$!
for _ in $(seq 100); do
    grep -q 'listening on' "$work/pool.out" && break
    sleep 0.1
done
port=$(sed -n 's/^listening on 127\.0\.0\.1://p' "$work/pool.out" | head -n 1)
check "stand-in pool listens" test -n "$port"

# SIGINT, as Ctrl-C would; a process still there after 15 s is killed. Returns its exit status.
stop_process() {
    local pid=$1 i state
    kill -INT "$pid" 2>/dev/null
    for ((i = 0; i < 150; i++)); do
        state=$(ps -o stat= -p "$pid") && [[ $state != Z* ]] || break
        sleep 0.1
    done
    if state=$(ps -o stat= -p "$pid") && [[ $state != Z* ]]; then
        echo "release: process $pid did not stop on SIGINT" >&2
        kill -KILL "$pid"
    fi
    wait "$pid"
}

in_root "$miner" --no-color -o "qelpool.test:$port" -u qel1releasetest -w deb11 -t 1 \
    >"$work/mine.out" 2>&1 &
miner_pid=$!
check "Debian 11: five shares accepted through qelpool.test" \
    wait_lines "$work/mine.out" " share accepted (" 5 120
stop_process "$miner_pid"
check "Debian 11: the mining run stops cleanly (exit 0)" test $? -eq 0
check "Debian 11: connected to qelpool.test" contains "$work/mine.out" " net   connected to qelpool.test:$port"
check "Debian 11: no share rejected" lacks "$work/mine.out" "REJECTED"
stop_process "$pool_pid"
pool_pid=''
check "stand-in pool: every share valid" grep -Eq 'valid [1-9][0-9]* invalid 0 duplicate 0' "$work/pool.out"

# An unknown pool host, in a network namespace of its own (loopback down): the miner reports it
# and retries; glibc's look-up neither aborts nor reaches any name server.
in_root --net "$miner" --no-color -o "no-such-pool.invalid:3360" -u qel1releasetest -t 1 \
    >"$work/unknown.out" 2>&1 &
miner_pid=$!
check "Debian 11: an unknown host gives the cannot-reach line" wait_lines "$work/unknown.out" \
    " net   cannot reach no-such-pool.invalid:3360, retry in 2 s" 1 30
# glibc reloads nsswitch.conf when it changes; the restriction must outlive that.
echo "# changed while the miner runs" >>"$deb/etc/nsswitch.conf"
check "Debian 11: the retry after nsswitch.conf changed gives the cannot-reach line" \
    wait_lines "$work/unknown.out" " net   cannot reach no-such-pool.invalid:3360, retry in 4 s" 1 30
stop_process "$miner_pid"
status=$?
check "Debian 11: after an unknown host the miner stops cleanly (exit $status)" test "$status" -eq 0
check "Debian 11: no assertion from the look-up" lacks "$work/unknown.out" "Assertion"

# --- farm packages and systemd unit -----------------------------------------------------------
bash "$root_dir/tests/release/hiveos_test.sh" "$work/hive/mintrakel" "$standin"
check "HiveOS package contract with the release binary" test $? -eq 0
bash "$root_dir/tests/release/mmpos_test.sh" "$work/mmpos/mintrakel" "$standin"
check "mmpOS package contract with the release binary" test $? -eq 0

if command -v systemd-analyze >/dev/null; then
    bash "$root_dir/tests/release/service_test.sh" "$work/portable/$top/mintrakel.service" "$bin" \
        "$standin"
    check "the systemd unit: verified, sandboxed, fit for the miner" test $? -eq 0
fi
unit=$work/portable/$top/mintrakel.service
check "the unit restarts always" grep -qx 'Restart=always' "$unit"
check "the unit reads its options from an environment file" grep -q '^EnvironmentFile=' "$unit"
check "the unit keeps the stats file under /run/mintrakel/" \
    grep -q -- '--stats-file /run/mintrakel/' "$unit"

echo "release: Debian root copied in ${copy_seconds} s; whole test $(($(date +%s) - started)) s"
echo "release: $(du -b "$dist/$portable" | cut -f1) bytes $portable," \
    "$(du -b "$dist/$hive" | cut -f1) bytes $hive, $(du -b "$dist/$mmpos" | cut -f1) bytes $mmpos," \
    "$(du -b "$bin" | cut -f1) bytes binary"
echo "release: $passed passed, $failed failed"
((failed == 0))
