#!/usr/bin/env bash
# Proves the container image as users meet it. Runs as root (podman with cgroup limits):
#   - `make image` writes dist/mintrakel-<version>-oci.tar and adds its sum to SHA256SUMS, and
#     a second run gives the same bytes;
#   - the archive is an OCI layout and carries what Docker's loader reads (manifest.json), every
#     blob under the digest of its content, the layers matching the config's diff_ids;
#   - the image holds the release binary and the known-answer file only, runs as an unprivileged
#     numeric user, and carries the org.opencontainers.image.* labels;
#   - loaded with `podman load` and run with runc under --cpuset-cpus 1 --memory 48m, --verify
#     passes and the automatic placement keeps to the one allowed CPU; with --network=host, a
#     read-only root and no capabilities it mines against the stand-in pool on loopback, found
#     by name, with every share valid, and stops cleanly on `podman stop`;
#   - `-t 8 --bench 3` under --memory 40m ends with exit code 0, never the kernel's kill (137);
#   - under --cpus 1 the automatic count is 1.
# usage: image_test.sh <normal build dir (for standin_pool)>
# Podman works in a private store under a temporary folder; nothing is left in the host's.
# Skips (exit 0) only where podman cannot run at all. Ends with "image: N passed, M failed".
set -u

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
standin=$(cd "$1" && pwd)/standin_pool
dist=$root_dir/dist
make_cmd=${MAKE:-make}
export CONTAINERS_CONF=$root_dir/packaging/container/containers.conf

# shellcheck source-path=SCRIPTDIR/../support
# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
give_up() {
    echo "image: $*" >&2
    echo "image: $passed passed, $((failed + 1)) failed"
    exit 1
}
skip() {
    echo "image: SKIPPED — $*"
    exit 0
}

command -v podman >/dev/null || skip "podman is not installed"
command -v runc >/dev/null || skip "runc is not installed (podman runs the image with --runtime runc)"
[[ $(id -u) == 0 ]] || give_up "must run as root (podman applies cgroup limits)"
for tool in jq tar sha256sum gzip; do
    command -v "$tool" >/dev/null || give_up "$tool is missing"
done
[[ -x $standin ]] || give_up "no stand-in pool at $standin"

work=$(mktemp -d)
podman=(podman --root "$work/store" --runroot "$work/run" --storage-driver vfs)
run=("${podman[@]}" run --rm --runtime runc)
pool_pid='' miner_pid=''
cleanup() {
    [[ -n $miner_pid ]] &&
        { "${podman[@]}" rm -f -t 0 image-test-miner; wait "$miner_pid"; } >/dev/null 2>&1
    [[ -n $pool_pid ]] && { kill -INT "$pool_pid"; wait "$pool_pid"; } 2>/dev/null
    "${podman[@]}" rm -a -f >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
# conmon leaves a file "oom" in the working folder of a container the kernel killed.
cd "$work" || give_up "cannot enter $work"
"${podman[@]}" info >"$work/info.txt" 2>&1 || skip "podman cannot run here: $(tail -n 1 "$work/info.txt")"

# --- make image ------------------------------------------------------------------------------
started=$(date +%s%N)
"$make_cmd" -C "$root_dir" image >"$work/make1.out" 2>&1 ||
    { tail -n 20 "$work/make1.out" >&2; give_up "make image failed"; }
image_ms=$((($(date +%s%N) - started) / 1000000))
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root_dir/build-release/CMakeCache.txt")
[[ -n $version ]] || give_up "no project version in build-release/CMakeCache.txt"
archive=mintrakel-$version-oci.tar
tarball=$dist/$archive
[[ -f $tarball ]] || give_up "make image wrote no $archive"
sum1=$(sha256sum <"$tarball")
"$make_cmd" -C "$root_dir" image >"$work/make2.out" 2>&1
check "a second make image gives the same bytes" test "$(sha256sum <"$tarball")" = "$sum1"

check "sha256sum -c SHA256SUMS passes" bash -c "cd '$dist' && sha256sum -c SHA256SUMS"
check "SHA256SUMS keeps the three archives and adds the image" \
    test "$(awk '{print $2}' "$dist/SHA256SUMS" | sort | paste -sd' ')" = \
    "hiveos/mintrakel-$version.tar.gz mintrakel-$version-linux-x64.tar.gz $archive mmpos/mintrakel-$version.tar.gz"

if command -v shellcheck >/dev/null; then
    check "shellcheck is clean" shellcheck -x "$root_dir/packaging/container/make_image.sh" \
        "$root_dir/tests/release/image_test.sh"
fi

# --- the archive, as podman's and Docker's loaders read it -----------------------------------
layout=$work/layout
mkdir -p "$layout"
tar -C "$layout" -xf "$tarball"
blob() { echo "$layout/blobs/sha256/${1#sha256:}"; }
blobs_match() {  # every blob's name is the sha256 of its bytes
    local f
    for f in "$layout"/blobs/sha256/*; do
        [[ $(sha256sum <"$f" | cut -d' ' -f1) == "$(basename "$f")" ]] || return 1
    done
}
check "every blob is named by the digest of its bytes" blobs_match
manifest=$(blob "$(jq -r '.manifests[0].digest' "$layout/index.json")")
config=$(blob "$(jq -r .config.digest "$manifest")")
check "index.json names one image, mintrakel:$version" \
    test "$(jq -r '[(.manifests | length), .manifests[0].annotations["io.containerd.image.name"]]
        | join(" ")' "$layout/index.json")" = "1 docker.io/library/mintrakel:$version"
check "manifest.json (Docker's loader) names the same config and layers, tagged mintrakel:$version" \
    test "$(jq -c '.[0] | [.Config, .Layers, .RepoTags]' "$layout/manifest.json")" = \
    "$(jq -c --arg tag "mintrakel:$version" 'def path: "blobs/sha256/" + ltrimstr("sha256:");
        [(.config.digest | path), [.layers[].digest | path], [$tag]]' "$manifest")"
diff_ids_match() {  # the config's diff_ids are the digests of the uncompressed layers
    local got='' digest
    for digest in $(jq -r '.layers[].digest' "$manifest"); do
        got+="sha256:$(gzip -dc "$(blob "$digest")" | sha256sum | cut -d' ' -f1) "
    done
    [[ $got == "$(jq -r '.rootfs.diff_ids | join(" ")' "$config") " ]]
}
check "the config's diff_ids are the layers' uncompressed digests" diff_ids_match

label() { jq -r --arg k "org.opencontainers.image.$1" '.config.Labels[$k] // empty' "$config"; }
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root_dir" log -1 --format=%ct)}
commit_time=$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)
check "label version is $version" test "$(label version)" = "$version"
check "label revision is the last commit" test "$(label revision)" = "$(git -C "$root_dir" rev-parse HEAD)"
check "label created is the last commit's time" test "$(label created)" = "$commit_time"
check "the image is dated at the last commit" test "$(jq -r .created "$config")" = "$commit_time"
check "the user is numeric and not root" \
    bash -c "[[ \$(jq -r .config.User '$config') =~ ^([1-9][0-9]*):([1-9][0-9]*)\$ ]]"
check "one layer: the miner, vectors.txt and the CA bundle, nothing else" \
    test "$(tar -tzf "$(blob "$(jq -r '.layers[0].digest' "$manifest")")" | grep -v '/$' | sort | paste -sd' ')" \
    = "etc/ssl/certs/ca-certificates.crt usr/local/bin/mintrakel usr/local/share/mintrakel/vectors.txt"
mkdir -p "$work/layer"
tar -C "$work/layer" -xzf "$(blob "$(jq -r '.layers[0].digest' "$manifest")")"
check "the image's miner is the release binary" \
    cmp "$work/layer/usr/local/bin/mintrakel" "$root_dir/build-release/mintrakel"
check "the image's vectors.txt is the committed one" \
    cmp "$work/layer/usr/local/share/mintrakel/vectors.txt" "$root_dir/tests/data/vectors.txt"
check "the image's CA bundle is the build machine's" \
    cmp "$work/layer/etc/ssl/certs/ca-certificates.crt" /etc/ssl/certs/ca-certificates.crt

# --- the example DaemonSet runs this image as its user -------------------------------------
# Prints what the DaemonSet's miner container says, one fact a line, for the checks below.
daemonset_facts() {
    python3 - "$root_dir/packaging/kubernetes/daemonset.yaml" <<'PY'
import sys, yaml
docs = [d for d in yaml.safe_load_all(open(sys.argv[1])) if d]
ds = next(d for d in docs if d["kind"] == "DaemonSet")
pod = ds["spec"]["template"]["spec"]
c = next(c for c in pod["containers"] if c["name"] == "mintrakel")
sc = {**pod.get("securityContext", {}), **c.get("securityContext", {})}
limits = c["resources"]["limits"]
print("image", c["image"])
print("user", "%s:%s" % (sc.get("runAsUser"), sc.get("runAsGroup")))
print("nonroot", sc.get("runAsNonRoot"), sc.get("readOnlyRootFilesystem"),
      sc.get("allowPrivilegeEscalation"))
print("limits", "cpu" in limits, "memory" in limits)
args = c.get("args", [])
print("pool", "-o" in args and "-u" in args)
PY
}
if daemonset_facts >"$work/daemonset.txt" 2>"$work/daemonset.err"; then
    check "the DaemonSet runs mintrakel:$version" grep -qx "image mintrakel:$version" "$work/daemonset.txt"
    check "the DaemonSet's user is the image's" \
        grep -qx "user $(jq -r .config.User "$config")" "$work/daemonset.txt"
    check "the DaemonSet: non-root, read-only root, no privilege escalation" \
        grep -qx "nonroot True True False" "$work/daemonset.txt"
    check "the DaemonSet limits CPU and memory" grep -qx "limits True True" "$work/daemonset.txt"
    check "the DaemonSet names the pool and the address" grep -qx "pool True" "$work/daemonset.txt"
else
    check "the DaemonSet parses ($(tail -n 1 "$work/daemonset.err"))" false
fi

# --- podman load and run ---------------------------------------------------------------------
# Each half of the archive alone is a whole image: the OCI layout and Docker's format.
for format in oci-archive docker-archive; do
    check "the archive loads as $format" "${podman[@]}" pull -q "$format:$tarball"
    "${podman[@]}" rmi -a -f >/dev/null 2>&1
done
"${podman[@]}" load -i "$tarball" >"$work/load.out" 2>&1
check "podman load reads the archive" test $? -eq 0
check "podman load names it mintrakel:$version" contains "$work/load.out" "mintrakel:$version"
image=mintrakel:$version
"${run[@]}" "$image" >"$work/help.out" 2>&1
check "with no arguments the image runs --help (exit 0)" test $? -eq 0
check "with no arguments the image prints the usage" contains "$work/help.out" "usage: /usr/local/bin/mintrakel -u"

online=$(getconf _NPROCESSORS_ONLN)
((online >= 2)) || give_up "the cpuset checks need CPU 1; this machine has $online CPU(s)"
limits=(--cpuset-cpus 1 --memory 48m)
"${run[@]}" "${limits[@]}" "$image" --no-color --verify /usr/local/share/mintrakel/vectors.txt \
    >"$work/verify.out" 2>&1
check "--verify in the image under ${limits[*]} exits 0" test $? -eq 0
check "--verify passes every record" grep -Eq '^ check verify ([0-9]+)/\1 OK$' "$work/verify.out"

"$standin" --port 0 --difficulty 20 --job-interval 5 >"$work/pool.out" 2>&1 &
pool_pid=$!
wait_lines "$work/pool.out" 'listening on' 1 10
port=$(sed -n 's/^listening on 127\.0\.0\.1://p' "$work/pool.out" | head -n 1)
[[ -n $port ]] || give_up "the stand-in pool did not start"

# As the example DaemonSet runs it: read-only root, no capability, no privilege to gain. The
# pool's name comes from the /etc/hosts podman writes (the image's /etc holds only the CA bundle); name
# servers only on loopback, so no look-up leaves this machine.
"${run[@]}" --name image-test-miner "${limits[@]}" --network=host --read-only --cap-drop=all \
    --security-opt no-new-privileges --dns 127.0.0.1 --add-host qelpool.test:127.0.0.1 "$image" \
    --no-color -o "qelpool.test:$port" -u qel1imagetest -w podman >"$work/mine.out" 2>&1 &
miner_pid=$!
check "mining in the image: three shares accepted" wait_lines "$work/mine.out" " share accepted (" 3 120
# Every thread of the miner runs as the image's user, on CPU 1 only.
pid=$("${podman[@]}" inspect --format '{{.State.Pid}}' image-test-miner 2>/dev/null)
check "the miner runs as uid 65532" \
    bash -c "awk '/^Uid:/ {exit \$2 != 65532}' /proc/$pid/status"
check "the automatic run under --cpuset-cpus 1 uses one thread" \
    contains "$work/mine.out" " auto  1 threads, override with -t <n>"
check "the cpu line says how many CPUs are allowed" \
    contains "$work/mine.out" "1 of $online CPUs allowed"
"${podman[@]}" stop -t 15 image-test-miner >/dev/null 2>&1
wait "$miner_pid"
check "podman stop ends the miner cleanly (exit 0)" test $? -eq 0
miner_pid=''
check "mining in the image: connected to qelpool.test on the host's loopback" \
    contains "$work/mine.out" " net   connected to qelpool.test:$port"
check "mining in the image: no share rejected" lacks "$work/mine.out" "REJECTED"
kill -INT "$pool_pid"
wait "$pool_pid"
pool_pid=''
check "stand-in pool: every share valid" grep -Eq 'valid [1-9][0-9]* invalid 0 duplicate 0' "$work/pool.out"

# More threads than the memory limit holds arenas for: the miner must not be killed for them.
"${run[@]}" --memory 40m "$image" --no-color -t 8 --bench 3 >"$work/bench40.out" 2>&1
status=$?
check "-t 8 --bench 3 under --memory 40m exits 0 (exit $status; 137 is the kernel's kill)" test "$status" -eq 0
check "-t 8 under --memory 40m: the threads that do not fit get the mem line" \
    contains "$work/bench40.out" " mem   "
check "-t 8 under --memory 40m: the others measure" grep -Eq '^ bench [1-7] threads: [0-9.]+ H/s over 3 s$' "$work/bench40.out"

"${run[@]}" --cpus 1 --memory 256m "$image" --no-color --bench 3 >"$work/quota.out" 2>&1
check "--cpus 1: the benchmark exits 0" test $? -eq 0
check "--cpus 1: the automatic count is 1" contains "$work/quota.out" " auto  1 threads, override with -t <n>"

if ((failed > 0)); then
    for f in mine bench40 quota; do
        echo "--- $f.out" >&2
        tail -n 12 "$work/$f.out" >&2
    done
fi
echo "image: make image took $((image_ms / 1000)).$(printf %03d $((image_ms % 1000))) s; $(du -b "$tarball" | cut -f1) bytes $archive," \
    "$(jq '[.layers[].size] | add' "$manifest") bytes of compressed layers"
echo "image: $passed passed, $failed failed"
((failed == 0))
