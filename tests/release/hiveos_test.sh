#!/usr/bin/env bash
# The HiveOS package's contract, without HiveOS: a fake farm (the flight-sheet variables set, the
# farm's paths moved into a temporary folder, a stand-in sysctl and hwmon) runs h-config.sh, then
# h-run.sh against the stand-in pool, and sources h-stats.sh inside a function as the agent does.
# usage: hiveos_test.sh <package folder> <standin_pool binary>
#        hiveos_test.sh --stage <version> <mintrakel binary> <standin_pool binary>
#          (the package made from this source tree's scripts and the given miner)
# Exit 77 (skipped) without jq. Ends with "hiveos: N passed, M failed".
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [[ $1 == --stage ]]; then
    stage_version=$2 stage_binary=$3 standin=$4
else
    package=$(cd "$1" && pwd)
    standin=$2
fi
command -v jq >/dev/null || { echo "hiveos: jq missing, skipped"; exit 77; }

passed=0 failed=0
check() {  # check <description> <command...>
    local what=$1
    shift
    if "$@" >/dev/null; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $what" >&2
    fi
}

farm=$(mktemp -d)
pool_pid='' run_pid=''
cleanup() {
    [[ -n $run_pid ]] && kill -TERM -- "-$run_pid" 2>/dev/null
    [[ -n $pool_pid ]] && kill -INT "$pool_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$farm"
}
trap cleanup EXIT

# The package where HiveOS puts it, with its farm paths (/hive, /var/log/miner, /run/hive) moved
# under the fake farm.
dir=$farm/hive/miners/custom/mintrakel
mkdir -p "$dir" "$farm/bin"
if [[ -n ${stage_version:-} ]]; then
    bash "$here/../../packaging/make_dist.sh" --stage-hiveos "$stage_version" "$stage_binary" \
        "$here/../.." "$dir" || exit 1
else
    cp -a "$package/." "$dir/"
fi
sed -i -e "s#=/hive/#=$farm/hive/#" -e "s#=/var/log/miner/#=$farm/log/#" \
    -e "s#=/run/hive/#=$farm/run/#" "$dir/h-manifest.conf"
# shellcheck source=/dev/null
manifest() { (. "$dir/h-manifest.conf" && eval "echo \"\$$1\""); }
log=$(manifest CUSTOM_LOG_BASENAME).log
stats_file=$(manifest MINTRAKEL_STATS_FILE)
version=$(manifest CUSTOM_VERSION)

if command -v shellcheck >/dev/null; then
    check "shellcheck is clean" bash -c "cd '$dir' && shellcheck -x h-config.sh h-run.sh h-stats.sh"
else
    echo "hiveos: shellcheck missing, lint not run"
fi
for f in h-config.sh h-run.sh h-stats.sh mintrakel; do
    check "$f is executable" test -x "$dir/$f"
done
check "h-*.sh are bash scripts" \
    bash -c "head -qn1 '$dir'/h-*.sh | grep -cx '#!/usr/bin/env bash' | grep -qx 3"

# sysctl stand-in: keeps vm.nr_hugepages in a file and records every write.
cat >"$farm/bin/sysctl" <<EOF
#!/usr/bin/env bash
state=$farm/nr_hugepages
case "\$*" in
    "-n vm.nr_hugepages") cat "\$state" 2>/dev/null || echo 0 ;;
    "-q -w vm.nr_hugepages="*) echo "\${3#*=}" >"\$state"; echo "\$*" >>$farm/sysctl.log ;;
    *) exit 1 ;;
esac
EOF
chmod +x "$farm/bin/sysctl"
export PATH="$farm/bin:$PATH"

# --- h-config.sh: flight sheet -> arguments -------------------------------------------------
# Runs h-config.sh sourced, as HiveOS does, with the manifest and the given variables; prints
# its status and then the configuration file, arguments joined by "|".
run_config() {
    (
        unset CUSTOM_URL CUSTOM_TEMPLATE WORKER_NAME CUSTOM_USER_CONFIG
        for assignment in "$@"; do export "${assignment?}"; done
        # shellcheck source=/dev/null
        . "$dir/h-manifest.conf"
        # shellcheck source=/dev/null
        . "$dir/h-config.sh" 2>"$farm/config.err"
        echo "status $?"
        [[ -f $CUSTOM_CONFIG_FILENAME ]] && paste -sd'|' "$CUSTOM_CONFIG_FILENAME"
    )
}

config_case() {  # config_case <expected output> <variables...>
    local expected=$1 got
    shift
    got=$(run_config "$@")
    check "h-config.sh with $* gives '$expected' (got '$got')" test "$got" = "$expected"
}

ok='status 0'
config_case "$ok"$'\n'"-o|pool.example:3360|-u|qel1addr|-w|rig1" \
    CUSTOM_URL=stratum+tcp://pool.example:3360 CUSTOM_TEMPLATE=qel1addr WORKER_NAME=rig1
config_case "$ok"$'\n'"-o|pool.example:3360|-u|qel1addr|-w|rig7" \
    CUSTOM_URL=pool.example:3360 CUSTOM_TEMPLATE=qel1addr.rig7 WORKER_NAME=rig1
config_case "$ok"$'\n'"-o|pool.example:3360|-u|qel1addr|-w|rig7.left" \
    CUSTOM_URL=tcp://pool.example:3360/ CUSTOM_TEMPLATE=qel1addr.rig7.left
config_case "$ok"$'\n'"-o|a.example:1|-o|b.example:2|-u|qel1addr|-w|rig1" \
    "CUSTOM_URL=stratum+tcp://a.example:1 stratum+tcp://b.example:2" CUSTOM_TEMPLATE=qel1addr \
    WORKER_NAME=rig1
config_case "$ok"$'\n'"-o|pool.example:3360|-u|qel1addr|-w|rig3" \
    CUSTOM_URL=pool.example:3360 CUSTOM_TEMPLATE=qel1addr.%WORKER_NAME% WORKER_NAME=rig3
config_case "$ok"$'\n'"-u|qel1addr" CUSTOM_TEMPLATE=qel1addr
config_case "$ok"$'\n'"-o|pool.example:3360|-u|qel1addr|-t|4|--cpus|0-3|-w|*" \
    CUSTOM_URL=pool.example:3360 CUSTOM_TEMPLATE=qel1addr "CUSTOM_USER_CONFIG= -t 4  --cpus 0-3 -w *"

# A flight sheet without an address: a clear message, and no configuration left behind (not
# even the previous sheet's, written by the first case below).
run_config CUSTOM_URL=pool.example:3360 CUSTOM_TEMPLATE=qel1old >/dev/null
for template in "" ".rig7" "%WORKER_NAME%.rig7"; do
    rm -f "$log"
    got=$(run_config CUSTOM_URL=pool.example:3360 "CUSTOM_TEMPLATE=$template")
    check "no address ('$template') fails without a configuration (got '$got')" \
        test "$got" = "status 1"
    check "no address ('$template') is explained in the log" \
        grep -q "no payout address" "$log"
    check "no address ('$template') is explained on the console" \
        grep -q "no payout address" "$farm/config.err"
done
got=$(run_config CUSTOM_URL=stratum+ssl://pool.example:3361 CUSTOM_TEMPLATE=qel1addr)
check "a TLS pool URL is refused (got '$got')" test "$got" = "status 1"
check "a TLS pool URL is explained" grep -q "only plain TCP" "$farm/config.err"

# Without a configuration h-run.sh says why and waits instead of starting the miner.
rm -f "$log"
timeout 3 bash "$dir/h-run.sh" >/dev/null 2>&1
check "h-run.sh without configuration waits (status 124 from timeout)" test $? -eq 124
check "h-run.sh without configuration says so in the log" grep -q "no configuration" "$log"
check "h-run.sh without configuration starts no miner" bash -c "! grep -q 'ORVO' '$log'"

# --- a mining run ---------------------------------------------------------------------------
# An easy share target, so even a sanitizer build finds shares before the first stats write.
"$standin" --port 0 --difficulty 8 --job-interval 30 >"$farm/pool.out" 2>&1 &
pool_pid=$!
for _ in $(seq 100); do
    grep -q 'listening on' "$farm/pool.out" && break
    sleep 0.1
done
endpoint=$(sed -n 's/^listening on //p' "$farm/pool.out" | head -n 1)
check "stand-in pool listens" test -n "$endpoint"

run_config "CUSTOM_URL=stratum+tcp://$endpoint" CUSTOM_TEMPLATE=qel1hivetest.rig7 \
    "CUSTOM_USER_CONFIG=-t 1 --no-color" >/dev/null
rm -f "$log" "$farm/sysctl.log"
setsid bash "$dir/h-run.sh" >"$farm/run.out" 2>&1 &
run_pid=$!
for _ in $(seq 600); do
    [[ -s $stats_file ]] && break
    sleep 0.1
done
check "the miner writes its stats file within 60 s" test -s "$stats_file"
check "the miner's output reaches the log" grep -q "share accepted" "$log"
check "h-run.sh reserves 4 huge pages for -t 1" grep -qx -- "-q -w vm.nr_hugepages=4" "$farm/sysctl.log"

# The agent's way: source inside a function, then read khs and stats.
agent() {
    local khs=unset stats=unset
    # shellcheck source=/dev/null
    . "$dir/h-stats.sh"
    printf '%s\n%s\n' "$khs" "$stats"
}
mkdir -p "$farm/hwmon/hwmon0" "$farm/hwmon/hwmon1" "$farm/hwmon/hwmon2"
echo coretemp >"$farm/hwmon/hwmon0/name"
echo "Package id 0" >"$farm/hwmon/hwmon0/temp1_label"
echo 57000 >"$farm/hwmon/hwmon0/temp1_input"
echo "Core 0" >"$farm/hwmon/hwmon0/temp2_label"
echo 99000 >"$farm/hwmon/hwmon0/temp2_input"
echo k10temp >"$farm/hwmon/hwmon1/name"
echo Tctl >"$farm/hwmon/hwmon1/temp1_label"
echo 61750 >"$farm/hwmon/hwmon1/temp1_input"
echo nvme >"$farm/hwmon/hwmon2/name"
echo 80000 >"$farm/hwmon/hwmon2/temp1_input"

out=$(MINTRAKEL_HWMON_ROOT=$farm/hwmon agent)
khs=$(sed -n 1p <<<"$out")
stats=$(sed -n 2p <<<"$out")
check "khs > 0 from a fresh stats file (got '$khs')" \
    jq -en --arg k "$khs" '($k | tonumber) > 0'
check "stats has the agent's keys and types (got '$stats')" jq -e --arg ver "v$version" '
    (keys == ["algo", "ar", "bus_numbers", "fan", "hs", "hs_units", "temp", "uptime", "ver"]) and
    (.hs | length == 1 and (.[0] | type == "number") and .[0] > 0) and
    .hs_units == "hs" and .temp == [61] and .fan == [0] and
    (.uptime | type == "number" and . >= 10) and .ver == $ver and
    (.ar | length == 2 and all(type == "number") and .[0] > 0 and .[1] == 0) and
    .algo == "argon2id-qel" and .bus_numbers == [null]' <<<"$stats"
check "khs is hs[0] / 1000" jq -en --arg k "$khs" --argjson s "$stats" \
    '(($k | tonumber) - $s.hs[0] / 1000) | fabs < 1e-9'
out=$(MINTRAKEL_HWMON_ROOT=$farm/no-hwmon agent)
check "no CPU sensor gives an empty temp array" jq -e '.temp == []' <<<"$(sed -n 2p <<<"$out")"

# The miner ends; its stats file stays, and once 60 s old it means nothing.
miner_pid=$(pgrep -P "$run_pid" -x mintrakel)
check "h-run.sh runs the miner as its child" test -n "$miner_pid"
if [[ -n $miner_pid ]]; then
    kill -TERM "$miner_pid"
else
    kill -TERM -- "-$run_pid"
fi
wait "$run_pid"
check "h-run.sh passes on the miner's clean exit status" test $? -eq 0
run_pid=''
touch -d '60 seconds ago' "$stats_file"
out=$(agent)
check "a 60 s old stats file gives khs=0 and stats=null (got '$out')" test "$out" = $'0\nnull'
rm -f "$stats_file"
out=$(agent)
check "no stats file gives khs=0 and stats=null (got '$out')" test "$out" = $'0\nnull'
echo '{"hashrate_hs":' >"$stats_file"
out=$(agent)
check "a broken stats file gives khs=0 and stats=null (got '$out')" test "$out" = $'0\nnull'

kill -INT "$pool_pid"
wait "$pool_pid"
pool_pid=''
check "the stand-in pool judged no share invalid" grep -q "invalid 0 duplicate 0" "$farm/pool.out"

echo "hiveos: $passed passed, $failed failed"
((failed == 0))
