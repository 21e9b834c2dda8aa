#!/usr/bin/env bash
# The HiveOS package's contract, without HiveOS: a fake farm (the flight-sheet variables set, the
# farm's paths moved into a temporary folder, a stand-in sysctl, meminfo and hwmon, HiveOS's
# restart loop and "miner stop" as the farm runs them) runs h-config.sh, then h-run.sh with a
# scripted stand-in miner and once with the real one against the stand-in pool, and sources
# h-stats.sh inside a function as the agent does, against canned API answers and stats files.
# usage: hiveos_test.sh <package folder> <standin_pool binary>
#        hiveos_test.sh --stage <version> <mintrakel binary> <standin_pool binary>
#          (the package made from this source tree's scripts and the given miner)
# Exit 77 (skipped) without jq, curl, python3 or openssl. Ends with "hiveos: N passed, M failed".
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [[ $1 == --stage ]]; then
    stage_version=$2 stage_binary=$3 standin=$4
else
    package=$(cd "$1" && pwd)
    standin=$2
fi
for tool in jq curl python3 openssl; do
    command -v "$tool" >/dev/null || { echo "hiveos: $tool missing, skipped"; exit 77; }
done
started=$(date +%s%N)

CHECKS_KEEP_STDERR=1
# shellcheck source-path=SCRIPTDIR/../support
# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

farm=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$farm"
}
trap cleanup EXIT

alive() { kill -0 "$1" 2>/dev/null; }
# Whether h-run.sh <pid> has reached its wait for a restart (it becomes the sleep it waits in):
# everything it does before waiting, its log lines and dashboard message among them, is done.
waiting() { [[ $(cat "/proc/$1/comm" 2>/dev/null) == sleep ]]; }

# The stand-in pool and a stand-in HTTP API, started now so they are up when needed. An easy
# share target, so even a sanitizer build finds shares within a second or two.
"$standin" --port 0 --difficulty 8 --job-interval 30 >"$farm/pool.out" 2>&1 &
pool_pid=$!
pids+=("$pool_pid")
# The same over TLS, with a self-signed certificate that only its pin can vouch for.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$farm/tls.key" \
    -out "$farm/tls.crt" -subj /CN=pool -days 2 2>/dev/null
tls_pin=$(openssl x509 -in "$farm/tls.crt" -noout -fingerprint -sha256 | sed 's/.*=//')
"$standin" --port 0 --difficulty 8 --job-interval 30 --tls "$farm/tls.crt" "$farm/tls.key" \
    >"$farm/tls-pool.out" 2>&1 &
tls_pool_pid=$!
pids+=("$tls_pool_pid")
mkdir -p "$farm/www/api/v1"
python3 -u -m http.server --bind 127.0.0.1 0 --directory "$farm/www" >"$farm/http.out" 2>&1 &
pids+=("$!")
# A miner whose main loop stalled: its API answers every request 503.
python3 -u -c 'import http.server
class Stalled(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(503); self.end_headers()
        self.wfile.write(b"no fresh numbers for 9 s: the main loop is stalled\n")
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Stalled)
print(server.server_address[1], flush=True)
server.serve_forever()' >"$farm/stalled.port" 2>&1 &
pids+=("$!")

# The package where HiveOS puts it, with its farm paths (/hive, /var/log/miner, /run/hive) moved
# under the fake farm.
dir=$farm/hive/miners/custom/mintrakel
mkdir -p "$dir" "$farm/bin" "$farm/run"
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
api_file=$(manifest MINTRAKEL_API_FILE)
stop_file=$(manifest MINTRAKEL_STOP_FILE)
default_port=$(manifest MINTRAKEL_API_PORT)
check "MINER_STOP is where the farm keeps it" test "$stop_file" = "$farm/run/MINER_STOP"

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

# Stand-ins for the machine: a meminfo file and a sysctl that resizes its huge-page pool the way
# the kernel does (new pages are free ones) and records every write.
export MINTRAKEL_MEMINFO=$farm/meminfo
meminfo() {  # meminfo <HugePages_Total> <HugePages_Free> <MemAvailable kB>
    printf 'MemAvailable: %s kB\nHugePages_Total: %s\nHugePages_Free: %s\nHugepagesize: 2048 kB\n' \
        "$3" "$1" "$2" >"$MINTRAKEL_MEMINFO"
}
meminfo 1000 1000 8000000
cat >"$farm/bin/sysctl" <<EOF
#!/usr/bin/env bash
[[ \$1 == -q && \$2 == -w && \$3 == vm.nr_hugepages=* ]] || exit 1
new=\${3#*=}
total=\$(awk '\$1 == "HugePages_Total:" {print \$2}' "$farm/meminfo")
free=\$(awk '\$1 == "HugePages_Free:" {print \$2}' "$farm/meminfo")
sed -i -e "s/^HugePages_Total:.*/HugePages_Total: \$new/" \
    -e "s/^HugePages_Free:.*/HugePages_Free: \$((free + new - total))/" "$farm/meminfo"
echo "\$3" >>"$farm/sysctl.log"
EOF
chmod +x "$farm/bin/sysctl"
# HiveOS's dashboard messages: the type and the text, one line each.
cat >"$farm/bin/message" <<EOF
#!/usr/bin/env bash
echo "\$*" >>"$farm/message.log"
EOF
chmod +x "$farm/bin/message"
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
# HiveOS stores the URL field with line breaks and splits it on any white space.
config_case "$ok"$'\n'"-o|a.example:1|-o|b.example:2|-o|c.example:3|-u|qel1addr" \
    "CUSTOM_URL=stratum+tcp://a.example:1"$'\n'"b.example:2"$'\t\r\n'"  c.example:3"$'\n' \
    CUSTOM_TEMPLATE=qel1addr
config_case "$ok"$'\n'"-o|pool.example:3360|-u|qel1addr|-w|rig3" \
    CUSTOM_URL=pool.example:3360 CUSTOM_TEMPLATE=qel1addr.%WORKER_NAME% WORKER_NAME=rig3
config_case "$ok"$'\n'"-u|qel1addr" CUSTOM_TEMPLATE=qel1addr
config_case "$ok"$'\n'"-o|pool.example:3360|-u|qel1addr|-t|4|--cpus|0-3|-w|*" \
    CUSTOM_URL=pool.example:3360 CUSTOM_TEMPLATE=qel1addr "CUSTOM_USER_CONFIG= -t 4  --cpus 0-3 -w *"
# "Extra config arguments" over several lines, an empty first line included: every line counts.
config_case "$ok"$'\n'"-u|qel1addr|-t|4|--cpus|0-3" \
    CUSTOM_TEMPLATE=qel1addr "CUSTOM_USER_CONFIG=-t 4"$'\n'"--cpus 0-3"
config_case "$ok"$'\n'"-u|qel1addr|-t|4|--cpus|0-3|--no-color" \
    CUSTOM_TEMPLATE=qel1addr "CUSTOM_USER_CONFIG="$'\n'"-t 4"$'\r\n\n'"--cpus 0-3"$'\n\t'"--no-color"$'\n'

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
# TLS pools pass through as the miner writes them, mixed with plain ones.
config_case "$ok"$'\n'"-o|stratum+ssl://a.example:3361|-o|stratum+tls://b.example:2|-o|c.example:3|-u|qel1addr" \
    "CUSTOM_URL=stratum+ssl://a.example:3361/ tls://b.example:2 stratum+tcp://c.example:3" \
    CUSTOM_TEMPLATE=qel1addr
# A pin is written on the URL of the TLS pool it belongs to, main or backup; a pin in the extra
# config goes to the one TLS pool of the list.
fp=$(printf 'ab%.0s' {1..32})
config_case "$ok"$'\n'"-o|stratum+ssl://a.example:3361|--tls-fingerprint|$fp|-o|b.example:2|-u|qel1addr" \
    "CUSTOM_URL=stratum+ssl://a.example:3361#$fp stratum+tcp://b.example:2" CUSTOM_TEMPLATE=qel1addr
config_case "$ok"$'\n'"-o|stratum+ssl://a.example:1|-o|stratum+tls://b.example:2|--tls-fingerprint|AB:CD|-u|qel1addr" \
    "CUSTOM_URL=ssl://a.example:1 tls://b.example:2/#AB:CD" CUSTOM_TEMPLATE=qel1addr
config_case "$ok"$'\n'"-o|a.example:1|-o|stratum+ssl://b.example:2|--tls-fingerprint|$fp|-u|qel1addr|-t|1" \
    "CUSTOM_URL=a.example:1 ssl://b.example:2" CUSTOM_TEMPLATE=qel1addr \
    "CUSTOM_USER_CONFIG=--tls-fingerprint $fp -t 1"
got=$(run_config "CUSTOM_URL=ssl://a.example:1 ssl://b.example:2" CUSTOM_TEMPLATE=qel1addr \
    "CUSTOM_USER_CONFIG=--tls-fingerprint $fp")
check "an extra-config pin with two TLS pools is refused (got '$got')" test "$got" = "status 1"
check "an extra-config pin with two TLS pools is explained" \
    grep -q "write the pin on its pool's URL as stratum+ssl://host:port#<sha256>" "$farm/config.err"
got=$(run_config "CUSTOM_URL=ssl://a.example:1#$fp" CUSTOM_TEMPLATE=qel1addr \
    "CUSTOM_USER_CONFIG=--tls-fingerprint AB:CD")
check "a pool pinned on its URL and in the extra config is refused (got '$got')" \
    test "$got" = "status 1"
check "a pool pinned twice is explained" grep -q "keep one" "$farm/config.err"
got=$(run_config "CUSTOM_URL=a.example:1#$fp" CUSTOM_TEMPLATE=qel1addr)
check "a pin on a plain pool's URL is refused (got '$got')" test "$got" = "status 1"
check "a pin on a plain pool's URL is explained" \
    grep -q "a certificate pin belongs to a TLS pool" "$farm/config.err"
for urls in "stratum+ssl://a.example:1 #$fp" "stratum+ssl://a.example:1# $fp"; do
    got=$(run_config "CUSTOM_URL=$urls" CUSTOM_TEMPLATE=qel1addr)
    check "a pin parted from its URL by a blank is refused ('$urls', got '$got')" \
        test "$got" = "status 1"
    check "a pin parted from its URL by a blank is explained ('$urls')" \
        grep -q "a pin goes right after its TLS pool's URL, without blanks" "$farm/config.err"
done
got=$(run_config CUSTOM_URL=stratum2+tcp://pool.example:3361 CUSTOM_TEMPLATE=qel1addr)
check "a pool URL of another scheme is refused (got '$got')" test "$got" = "status 1"
check "a pool URL of another scheme is explained" grep -q "use stratum+tcp://, stratum+ssl://" "$farm/config.err"

# --- h-run.sh with a scripted miner ----------------------------------------------------------
# The real binary is kept aside; the stand-in records each start and its arguments, then acts as
# FAKE_MINER says: "exit N" exits with N at once, "run" writes the stats file and runs until
# SIGINT or SIGTERM, ending with the miner's shutdown line and status 0. Asked to check its
# options (--verify) it exits as FAKE_CHECK says, 0 by default, and counts as no start.
mv "$dir/mintrakel" "$farm/mintrakel.real"
cat >"$dir/mintrakel" <<EOF
#!/usr/bin/env bash
if [[ " \$* " == *" --verify "* ]]; then
    code=\${FAKE_CHECK:-exit 0}
    code=\${code#exit }
    ((code == 0)) || echo "fake miner: refused with \$code" >&2
    exit "\$code"
fi
printf '%s\n' "\$@" >"$farm/fake.args"
echo start >>"$farm/fake.starts"
stats=''
while ((\$#)); do [[ \$1 == --stats-file ]] && stats=\$2; shift; done
case \${FAKE_MINER:-run} in
    exit\ *) echo "fake miner: exit \${FAKE_MINER#exit }"; exit "\${FAKE_MINER#exit }" ;;
esac
stop=''
trap 'stop=1' INT TERM
echo '{"hashrate_hs":10.00,"accepted":1,"rejected":0,"uptime_s":10,"version":"v1","algo":"argon2id-qel"}' >"\$stats"
echo "fake miner: running"
while [[ -z \$stop ]]; do sleep 0.05; done
printf '\n shutdown requested — clean exit\n'
EOF
chmod +x "$dir/mintrakel"
starts() { [[ -f $farm/fake.starts ]] && wc -l <"$farm/fake.starts" || echo 0; }

# HiveOS's loop in the miner's screen session: h-run.sh again after it returns (HiveOS waits 3 s,
# this one 0.3 s), in a session
# of its own so a Ctrl-C reaches the whole group as the screen sends it. Sets loop to its pid.
# A command this script starts in the background ignores SIGINT, and a shell cannot trap a signal
# ignored when it started; screen starts the loop with SIGINT in its default state, so does this.
start_loop() {
    python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setsid()
os.execvp(sys.argv[1], sys.argv[1:])' bash -c "while :; do bash '$dir/h-run.sh'; sleep 0.3; done" \
        >>"$farm/screen.out" 2>&1 &
    loop=$!
    pids+=("$loop")
}
# HiveOS's "miner stop": MINER_STOP, Ctrl-C to the screen, then up to 15 s for it to end before
# it closes the screen, which kills the miner without its shutdown. Prints the milliseconds until
# the loop ended, or "hung" when it outlived those 15 s. The time is HiveOS's own deadline, not a
# speed: how long the stop takes depends on the machine's load and on a sanitizer's runtime,
# which the miner's own stop tests bound.
hiveos_stop_ms=15000
miner_stop() {
    local loop=$1 t0 ms
    touch "$stop_file"
    t0=$(date +%s%N)
    kill -INT -- "-$loop"
    while kill -0 "$loop" 2>/dev/null; do
        ms=$((($(date +%s%N) - t0) / 1000000))
        ((ms < hiveos_stop_ms)) || { echo hung; return; }
        sleep 0.05
    done
    echo $((($(date +%s%N) - t0) / 1000000))
}

rm -f "$log" "$(manifest CUSTOM_CONFIG_FILENAME)"
bash "$dir/h-run.sh" >/dev/null 2>&1 &
run=$!
pids+=("$run")
check "h-run.sh without configuration says so in the log" \
    wait_for 5 grep -q "no configuration" "$log"
check "h-run.sh without configuration waits instead of returning" wait_for 5 waiting "$run"
check "h-run.sh without configuration starts no miner" test "$(starts)" = 0
kill "$run" 2>/dev/null

run_config CUSTOM_URL=pool.example:3360 CUSTOM_TEMPLATE=qel1addr "CUSTOM_USER_CONFIG=-t 1" >/dev/null

# Huge pages: what is missing from the FREE pages is added to the pool, within the memory the
# system can spare (MemAvailable above 1.5 GiB, in 2 MiB pages).
# case: total free available_kB threads -> the sysctl write expected, "" for none
while read -r total free avail threads expected; do
    meminfo "$total" "$free" "$avail"
    rm -f "$farm/sysctl.log"
    run_config CUSTOM_TEMPLATE=qel1addr "CUSTOM_USER_CONFIG=-t $threads" >/dev/null
    FAKE_MINER="exit 0" bash "$dir/h-run.sh" >/dev/null 2>&1
    got=$(cat "$farm/sysctl.log" 2>/dev/null)
    [[ $expected == - ]] && expected=''
    check "huge pages: total $total, free $free, $avail kB, $threads thread(s) -> '$expected' (got '$got')" \
        test "$got" = "$expected"
done <<'EOF'
0 0 8000000 1 vm.nr_hugepages=4
8 0 8000000 1 vm.nr_hugepages=12
8 8 8000000 2 -
10 2 8000000 2 vm.nr_hugepages=16
0 0 1576960 2 vm.nr_hugepages=2
0 0 1000000 2 -
EOF
check "a shortfall of huge pages is reported" grep -q "2 huge pages free for 2 thread(s), 8 wanted" "$log"
meminfo 1000 1000 8000000

# The exit codes: 0 returns (HiveOS restarts it), 1 and 2 wait with a reason, not restarted,
# whether the options check or the miner itself refuses. A refusal is said in the log and on the
# dashboard with the miner's own reason; huge pages are reserved only after the check passed and
# given back when the miner refuses.
run_config CUSTOM_TEMPLATE=qel1addr "CUSTOM_USER_CONFIG=-t 1" >/dev/null
FAKE_MINER="exit 0" bash "$dir/h-run.sh" >/dev/null 2>&1
check "after a clean exit h-run.sh returns 0 so HiveOS restarts the miner" test $? -eq 0
one_message() {  # one_message <regular expression of the whole line>
    [[ $(wc -l <"$farm/message.log") == 1 ]] && grep -qx "$1" "$farm/message.log"
}
# case: the check's code, the miner's code, its starts, its reason line, the sysctl writes
while read -r check_code code starts said pages reason; do
    meminfo 0 0 8000000
    rm -f "$log" "$farm/fake.starts" "$farm/sysctl.log" "$farm/message.log"
    what="check $check_code, exit $code"
    FAKE_CHECK="exit $check_code" FAKE_MINER="exit $code" bash "$dir/h-run.sh" >/dev/null 2>&1 &
    run=$!
    pids+=("$run")
    [[ $code == - ]] && code=$check_code
    check "$what: the log says why the miner is not restarted" \
        wait_for 5 grep -q "the miner exited with code $code: $reason" "$log"
    check "$what: h-run.sh waits instead of returning" wait_for 5 waiting "$run"
    check "$what: the miner was started $starts time(s)" test "$(starts)" = "$starts"
    check "$what: one error message with the miner's reason (got '$(cat "$farm/message.log")')" \
        one_message "error mintrakel refused to start (exit $code), $reason.*: fake miner: ${said//_/ } $code"
    check "$what: huge pages $pages (got '$(paste -sd, "$farm/sysctl.log" 2>/dev/null)')" \
        test "$(paste -sd, "$farm/sysctl.log" 2>/dev/null)" = "${pages/-/}"
    kill "$run" 2>/dev/null
done <<'EOF'
0 1 1 exit vm.nr_hugepages=4,vm.nr_hugepages=0 this CPU cannot run it
0 2 1 exit vm.nr_hugepages=4,vm.nr_hugepages=0 the flight sheet gives it a wrong option
1 - 0 refused_with - this CPU cannot run it
2 - 0 refused_with - the flight sheet gives it a wrong option
EOF
meminfo 1000 1000 8000000

# The miner's arguments: the flight sheet's, then --http on HiveOS's API port (the package's
# default when HiveOS gives none or nonsense), then the stats file.
while read -r port expected; do
    [[ $port == - ]] && port=''
    MINER_API_PORT=$port FAKE_MINER="exit 0" bash "$dir/h-run.sh" >/dev/null 2>&1
    got=$(paste -sd' ' "$farm/fake.args")
    check "MINER_API_PORT='$port' gives the arguments ...--http $expected (got '$got')" \
        test "$got" = "-u qel1addr -t 1 --http $expected --stats-file $stats_file"
done <<EOF
60123 127.0.0.1:60123
- 127.0.0.1:$default_port
70000 127.0.0.1:$default_port
12ab 127.0.0.1:$default_port
EOF

# "miner stop" through HiveOS's loop: the miner ends at once with its shutdown line in the log,
# the loop ends with it (nothing new started), and the dashboard reads 0 right away.
rm -f "$log" "$farm/fake.starts" "$stop_file"
start_loop
check "the loop starts the miner" wait_for 5 grep -q "fake miner: running" "$log"
check "the running miner's stats file is there" test -s "$stats_file"
took=$(miner_stop "$loop")
check "miner stop ends HiveOS's loop before HiveOS closes the screen (took $took ms)" \
    test "$took" != hung
check "miner stop: the shutdown line reaches the log" grep -q "shutdown requested — clean exit" "$log"
check "miner stop: no second miner started" test "$(starts)" = 1
check "miner stop: the stats file is gone" test ! -e "$stats_file"
check "miner stop: the API address file is gone" test ! -e "$api_file"

# A Ctrl-C without MINER_STOP (a person at the screen): the miner ends cleanly and HiveOS's loop
# starts it again.
rm -f "$log" "$farm/fake.starts" "$stop_file"
start_loop
check "Ctrl-C alone: the loop starts the miner" wait_for 5 grep -q "fake miner: running" "$log"
kill -INT -- "-$loop"
started_twice() { test "$(starts)" = 2; }
check "Ctrl-C alone: the loop starts the miner again" wait_for 5 started_twice
check "Ctrl-C alone: the loop goes on" kill -0 "$loop"
check "Ctrl-C alone: the shutdown line reaches the log" grep -q "shutdown requested — clean exit" "$log"
{ kill -KILL -- "-$loop" && wait "$loop"; } 2>/dev/null

# A miner waiting after exit 2 ends on "miner stop" as quickly.
rm -f "$log" "$farm/fake.starts" "$stop_file"
FAKE_MINER="exit 2" start_loop
check "exit 2 in HiveOS's loop: the log says why it waits" \
    wait_for 5 grep -q "the miner exited with code 2" "$log"
took=$(miner_stop "$loop")
check "exit 2 in HiveOS's loop: miner stop ends the loop before HiveOS closes the screen (took $took ms)" \
    test "$took" != hung
check "exit 2 in HiveOS's loop: the miner was started once" test "$(starts)" = 1

# With MINER_STOP present nothing starts; once it goes, the miner starts.
rm -f "$farm/fake.starts" "$log"
bash "$dir/h-run.sh" >/dev/null 2>&1 &
run=$!
pids+=("$run")
check "with MINER_STOP h-run.sh says why it waits" wait_for 5 grep -q "MINER_STOP exists" "$log"
check "with MINER_STOP no miner starts" test "$(starts)" = 0
rm -f "$stop_file"
check "without MINER_STOP the miner starts" wait_for 5 grep -q "fake miner: running" "$log"
kill -TERM "$(pgrep -P "$run" -f '\./mintrakel')" 2>/dev/null
check "the miner's own clean stop (SIGTERM to it alone) ends h-run.sh" \
    wait_for 5 bash -c "! kill -0 $run"
wait "$run"
check "the miner's own clean stop returns 0" test $? -eq 0

# --- h-stats.sh ------------------------------------------------------------------------------
# The agent's way: source inside a function, then read khs and stats.
agent() {
    local khs=unset stats=unset
    # shellcheck source=/dev/null
    . "$dir/h-stats.sh"
    printf '%s\n%s\n' "$khs" "$stats"
}
mkdir -p "$farm/hwmon/hwmon0" "$farm/hwmon/hwmon1" "$farm/hwmon/hwmon2"
sensor() {  # sensor <hwmon> <n> <label or -> <milli-degrees>
    [[ $3 == - ]] || echo "$3" >"$farm/hwmon/$1/temp$2_label"
    echo "$4" >"$farm/hwmon/$1/temp$2_input"
}
echo coretemp >"$farm/hwmon/hwmon0/name"
sensor hwmon0 1 "Package id 0" 57000
sensor hwmon0 2 "Core 0" 99000
sensor hwmon0 3 "Package id 1" 58000
echo k10temp >"$farm/hwmon/hwmon1/name"
sensor hwmon1 1 Tctl 81750
sensor hwmon1 2 Tdie 61750
echo nvme >"$farm/hwmon/hwmon2/name"
sensor hwmon2 1 - 90000

# Canned API answers from the plain HTTP file server started above.
check "the stand-in API listens" wait_for 5 grep -q "Serving HTTP" "$farm/http.out"
api=127.0.0.1:$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$farm/http.out" | head -n1)
cat >"$farm/www/api/v1/summary" <<'EOF'
{"version":"1.0.1","algorithm":"argon2id-qel","engine":"avx512","uptime_s":130,
 "hashrate_hs":{"10s":1089.9,"60s":1519.95,"15m":1500.12},
 "shares":{"accepted":12,"rejected":3},"blocks_found":0,
 "threads":[{"index":0,"cpu":3,"hashes":19234,"hashrate_10s_hs":544.45,"huge_pages":true},
            {"index":1,"cpu":null,"hashes":19100,"hashrate_10s_hs":545.45,"huge_pages":false}],
 "pool":{"host":"127.0.0.1","port":3333,"connected":true,"connected_s":120,"backup":false,
         "reconnects":0,"job_height":null,"job_difficulty":null},
 "dev_fee_active":false}
EOF
stats_line='{"hashrate_hs":544.45,"accepted":12,"rejected":0,"uptime_s":130,"version":"v1.0.1","algo":"argon2id-qel"}'

export MINTRAKEL_HWMON_ROOT=$farm/hwmon
echo "$api" >"$api_file"
echo "$stats_line" >"$stats_file"
out=$(agent)
khs=$(sed -n 1p <<<"$out")
stats=$(sed -n 2p <<<"$out")
check "API: khs is the threads' total in kH/s, without float noise (got '$khs')" test "$khs" = 1.0899
check "API: stats has one entry per thread (got '$stats')" jq -e '
    (keys == ["algo", "ar", "bus_numbers", "fan", "hs", "hs_units", "temp", "uptime", "ver"]) and
    .hs == [544.45, 545.45] and .hs_units == "hs" and .temp == [61, 61] and
    .fan == [null, null] and .bus_numbers == [null, null] and .uptime == 130 and
    .ver == "1.0.1" and .ar == [12, 3] and .algo == "argon2id-qel"' <<<"$stats"

# A paused miner answers as usual with "paused": true: 0 at once, every entry still there.
sed -i 's/"dev_fee_active":false}/"dev_fee_active":false,"paused":true,"pause_reasons":["api"]}/' \
    "$farm/www/api/v1/summary"
out=$(agent)
check "API, paused: khs is 0 (got '$(sed -n 1p <<<"$out")')" test "$(sed -n 1p <<<"$out")" = 0
check "API, paused: one 0 per thread (got '$(sed -n 2p <<<"$out")')" \
    jq -e '.hs == [0, 0] and .ar == [12, 3] and .uptime == 130' <<<"$(sed -n 2p <<<"$out")"

# The stats file, when the API is not this miner's (another program on the port answers with
# JSON of its own), does not answer, answers 503 (a stalled miner), or is not known: one entry.
echo '{"version":"6.1","algorithm":"rx/0","uptime_s":5,"threads":[],"shares":{"accepted":1}}' \
    >"$farm/www/api/v1/summary"
check "the stalled stand-in API listens" wait_for 5 test -s "$farm/stalled.port"
stalled_api=127.0.0.1:$(<"$farm/stalled.port")
for address in "$api" 127.0.0.1:1 "$stalled_api" "not an address"; do
    echo "$address" >"$api_file"
    out=$(agent)
    khs=$(sed -n 1p <<<"$out")
    stats=$(sed -n 2p <<<"$out")
    check "API at '$address': khs from the stats file (got '$khs')" test "$khs" = 0.54445
    check "API at '$address': stats from the stats file (got '$stats')" jq -e '
        (keys == ["algo", "ar", "bus_numbers", "fan", "hs", "hs_units", "temp", "uptime", "ver"]) and
        .hs == [544.45] and .hs_units == "hs" and .temp == [61] and .fan == [null] and
        .bus_numbers == [null] and .uptime == 130 and .ver == "1.0.1" and .ar == [12, 0] and
        .algo == "argon2id-qel"' <<<"$stats"
done

# khs keeps exactly the reported digits (the total in H/s has two decimals).
while read -r rate expected; do
    echo "{\"hashrate_hs\":$rate,\"accepted\":0,\"rejected\":0,\"uptime_s\":1,\"version\":\"v1\",\"algo\":\"argon2id-qel\"}" >"$stats_file"
    got=$(agent | sed -n 1p)
    check "khs of $rate H/s is $expected (got '$got')" test "$got" = "$expected"
done <<'EOF'
0.00 0
0.01 0.00001
100.00 0.1
1520.40 1.5204
123456789.99 123456.78999
EOF

# The temperature: Tdie over Tctl on k10temp, the hottest package otherwise; null entries when
# no sensor is known.
echo "$stats_line" >"$stats_file"
temp_of() { agent | sed -n 2p | jq -c .temp; }
check "k10temp with Tctl and Tdie reads Tdie, hotter than coretemp's packages" test "$(temp_of)" = "[61]"
rm "$farm/hwmon/hwmon1/temp2_input"
check "k10temp with Tctl only reads Tctl" test "$(temp_of)" = "[81]"
rm "$farm/hwmon/hwmon1/name"
check "coretemp reads its hottest package, not a core" test "$(temp_of)" = "[58]"
check "no known sensor gives a null entry" \
    test "$(MINTRAKEL_HWMON_ROOT=$farm/no-hwmon temp_of)" = "[null]"

# A stats file the miner no longer rewrites, none, or a broken one: nothing is hashing.
touch -d '60 seconds ago' "$stats_file"
out=$(agent)
check "a 60 s old stats file gives khs=0 and stats=null (got '$out')" test "$out" = $'0\nnull'
echo "$stalled_api" >"$api_file"
out=$(agent)
check "an API answering 503 and a 60 s old stats file: khs=0 and stats=null (got '$out')" \
    test "$out" = $'0\nnull'
rm -f "$api_file"
rm -f "$stats_file"
out=$(agent)
check "no stats file gives khs=0 and stats=null (got '$out')" test "$out" = $'0\nnull'
echo '{"hashrate_hs":' >"$stats_file"
out=$(agent)
check "a broken stats file gives khs=0 and stats=null (got '$out')" test "$out" = $'0\nnull'
rm -f "$stats_file"

# --- the real miner through HiveOS's loop -----------------------------------------------------
mv "$farm/mintrakel.real" "$dir/mintrakel"
if "$dir/mintrakel" --http 127.0.0.1:1 --help >/dev/null 2>&1; then
    has_http=yes
else
    # A miner without --http (before the HTTP API is built in): a wrapper drops the option, and
    # h-stats.sh falls back to the stats file. The package ships the miner it was made for.
    has_http=''
    echo "hiveos: this miner has no --http; the per-thread API check is not run"
    mv "$dir/mintrakel" "$dir/mintrakel.bin"
    cat >"$dir/mintrakel" <<'EOF'
#!/usr/bin/env bash
args=()
while (($#)); do
    if [[ $1 == --http ]]; then shift 2; else args+=("$1"); shift; fi
done
exec "$(dirname "$0")/mintrakel.bin" "${args[@]}"
EOF
    chmod +x "$dir/mintrakel"
fi

wait_for 10 grep -q 'listening on' "$farm/pool.out"
endpoint=$(sed -n 's/^listening on //p' "$farm/pool.out" | head -n 1)
check "stand-in pool listens" test -n "$endpoint"
tls_endpoint=$(sed -n 's/^listening on //p' "$farm/tls-pool.out" | head -n 1)
check "stand-in TLS pool listens" test -n "$tls_endpoint"
real_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# A pinned TLS main pool with a plain backup: the pin reaches the TLS pool, which it mines on.
run_config "CUSTOM_URL=stratum+ssl://$tls_endpoint#$tls_pin stratum+tcp://$endpoint" \
    CUSTOM_TEMPLATE=qel1hivetest.rig7 "CUSTOM_USER_CONFIG=-t 1"$'\n'"--no-color --http-token t0k\"en" \
    >/dev/null
rm -f "$log" "$stop_file"
MINER_API_PORT=$real_port start_loop
check "the real miner's output reaches the log, shares accepted" \
    wait_for 60 grep -q "share accepted" "$log"
check "the real miner: on the pinned TLS main pool" \
    grep -q "connected to $tls_endpoint · TLS 1.3 · fingerprint" "$log"
if [[ -n $has_http ]]; then
    # The API answers from the first tick on; the per-thread rate once a second has passed.
    got_api() { agent | sed -n 2p | jq -e '.hs | length == 1 and .[0] > 0'; }
    check "the real miner: h-stats.sh reads one thread's rate from its API" wait_for 10 got_api
    # With the flight sheet's --http-token the API needs it; paused over the API, the rates are 0
    # at once (the stats file would still show the last minute's rate).
    curl -fsS -X POST -H 'Authorization: Bearer t0k"en' "http://127.0.0.1:$real_port/api/v1/pause" \
        >/dev/null
    paused_zero() { [[ $(agent | sed -n 1p) == 0 ]]; }
    check "the real miner paused over its API with a token: khs is 0 at once" wait_for 3 paused_zero
fi
check "the real miner: the API address file names MINER_API_PORT" \
    grep -qx "127.0.0.1:$real_port" "$api_file"
took=$(miner_stop "$loop")
echo "hiveos: miner stop with the real miner took $took ms"
check "the real miner: miner stop ends HiveOS's loop before HiveOS closes the screen (took $took ms)" \
    test "$took" != hung
check "the real miner: the shutdown line reaches the log" \
    grep -q "shutdown requested — clean exit" "$log"
out=$(agent)
check "the real miner stopped: khs=0 and stats=null at once (got '$out')" test "$out" = $'0\nnull'
check "the real miner: one start only" test "$(grep -c "Argon2id 8 MiB" "$log")" -eq 1

# The real miner refusing an option: its own reason reaches the dashboard, nothing is reserved.
run_config "CUSTOM_URL=stratum+tcp://$endpoint" CUSTOM_TEMPLATE=qel1hivetest \
    "CUSTOM_USER_CONFIG=--bogus" >/dev/null
rm -f "$farm/message.log" "$farm/sysctl.log" "$stop_file"
meminfo 0 0 8000000
bash "$dir/h-run.sh" >/dev/null 2>&1 &
run=$!
pids+=("$run")
check "the real miner refusing --bogus: its reason on the dashboard" wait_for 10 one_message \
    "error mintrakel refused to start (exit 2), .*: unknown option --bogus (see --help)"
check "the real miner refusing --bogus: no huge pages reserved" test ! -e "$farm/sysctl.log"
kill "$run" 2>/dev/null

kill -INT "$pool_pid" "$tls_pool_pid"
wait "$pool_pid" "$tls_pool_pid"
check "the stand-in pool judged no share invalid" grep -q "invalid 0 duplicate 0" "$farm/pool.out"
check "the stand-in TLS pool judged shares, none invalid" \
    grep -Eq "valid [1-9][0-9]* invalid 0 duplicate 0" "$farm/tls-pool.out"

echo "hiveos: $passed passed, $failed failed in $((($(date +%s%N) - started) / 1000000)) ms"
((failed == 0))
