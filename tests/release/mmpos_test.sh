#!/usr/bin/env bash
# The mmpOS package's contract, without mmpOS: the package unpacked into a folder renamed the way
# the agent renames it, mmp-stats.sh called as the agent calls it ("mmp-stats.sh DEVICE_COUNT
# LOG_FILE") with no miner, with a stand-in miner process whose API answers are canned, with a
# log only, and once with the real miner against the stand-in pool.
# usage: mmpos_test.sh <package folder> <standin_pool binary>
#        mmpos_test.sh --stage <version> <mintrakel binary> <standin_pool binary>
# Exit 77 (skipped) without jq, curl or python3. Ends with "mmpos: N passed, M failed".
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [[ $1 == --stage ]]; then
    stage_version=$2 stage_binary=$3 standin=$4
else
    package=$(cd "$1" && pwd)
    standin=$2
fi
for tool in jq curl python3; do
    command -v "$tool" >/dev/null || { echo "mmpos: $tool missing, skipped"; exit 77; }
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
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$farm"
}
trap cleanup EXIT

# The agent unpacks the archive's one folder and renames it.
dir=$farm/opt/mmp/miners/custom-3f9a1c
mkdir -p "$dir"
if [[ -n ${stage_version:-} ]]; then
    bash "$here/../../packaging/make_dist.sh" --stage-mmpos "$stage_version" "$stage_binary" \
        "$here/../.." "$dir" || exit 1
else
    cp -a "$package/." "$dir/"
fi
version=$(sed -n 's/^EXTERNAL_VERSION=//p' "$dir/mmp-external.conf")
check "mmp-external.conf names the miner" grep -qx 'EXTERNAL_NAME=mintrakel' "$dir/mmp-external.conf"
check "mmp-external.conf carries a version (got '$version')" test -n "$version"
for f in mmp-stats.sh mintrakel; do
    check "$f is executable" test -x "$dir/$f"
done
check "mmp-stats.sh is a bash script" bash -c "head -n1 '$dir/mmp-stats.sh' | grep -qx '#!/usr/bin/env bash'"
if command -v shellcheck >/dev/null; then
    check "shellcheck is clean" shellcheck -x "$dir/mmp-stats.sh"
fi

# The agent's call, from elsewhere: its output must be one JSON object of the contract's shape.
log=$farm/miner.log
stats() { (cd / && "$dir/mmp-stats.sh" 1 "$log"); }
contract='(keys == ["air", "busid", "hash", "miner_name", "miner_version", "units"]) and
    (.busid | length) == (.hash | length) and all(.busid[]; . == "cpu") and
    all(.hash[]; type == "number") and .units == "hs" and
    (.air | length == 3 and all(type == "string")) and .miner_name == "mintrakel"'

out=$(stats)
check "no miner: one line of the contract's JSON (got '$out')" jq -e "$contract" <<<"$out"
check "no miner: zeros (got '$out')" jq -e --arg v "$version" \
    '.hash == [0] and .air == ["0", "0", "0"] and .miner_version == $v' <<<"$out"

# A stand-in API: canned answers from a folder, a 401 without the right token when TOKEN is
# set, and a 503 to everything when STALLED is set (a miner whose main loop stalled).
mkdir -p "$farm/www"
cat >"$farm/api.py" <<'EOF'
import http.server, os, sys
root, token = sys.argv[1], os.environ.get("TOKEN", "")
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if os.environ.get("STALLED"):
            self.send_response(503); self.end_headers(); return
        if token and self.headers.get("Authorization") != "Bearer " + token:
            self.send_response(401); self.end_headers(); return
        path = os.path.join(root, self.path.strip("/").replace("/", "_"))
        if not os.path.isfile(path):
            self.send_response(404); self.end_headers(); return
        body = open(path, "rb").read()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
EOF
start_api() {  # start_api <file for the port> [TOKEN=...]
    env "${@:2}" python3 "$farm/api.py" "$farm/www" >"$1" 2>&1 &
    pids+=("$!")
    wait_for 5 test -s "$1"
}
start_api "$farm/port"
start_api "$farm/port.token" 'TOKEN=s3"cr\et'  # characters curl's configuration quotes
start_api "$farm/port.stalled" STALLED=1
port=$(<"$farm/port")
stalled_port=$(<"$farm/port.stalled")
token_port=$(<"$farm/port.token")
echo '{"busid":["cpu","cpu"],"hash":[760.2,759.8],"units":"hs","air":["12","0","3"],"miner_name":"mintrakel","miner_version":"1.0.1"}' \
    >"$farm/www/mmpos"

# A process named mintrakel started from the package folder, with the given arguments: a copy of
# bash there, so /proc shows the folder's binary and the options as the agent's miner has them.
mv "$dir/mintrakel" "$farm/mintrakel.real"
cp "$(command -v bash)" "$dir/mintrakel"
fake_pid=''
fake_miner() {
    [[ -n $fake_pid ]] && kill "$fake_pid" 2>/dev/null && wait "$fake_pid" 2>/dev/null
    "$dir/mintrakel" -c 'while :; do sleep 1; done' mintrakel "$@" &
    fake_pid=$!
    pids+=("$fake_pid")
    wait_for 5 test "$(readlink "/proc/$fake_pid/exe")" = "$dir/mintrakel"
}

# case: the miner's --http/--http-token options -> the expected hash array, "" for zeros
printf '%s\n' \
    "-o x:1 --http 127.0.0.1:$port|[760.2,759.8]" \
    "--http $port|[760.2,759.8]" \
    "--http 0.0.0.0:$token_port --http-token s3\"cr\\et|[760.2,759.8]" \
    "--http 127.0.0.1:$token_port --http-token wrong|[0]" \
    "--http 127.0.0.1:1|[0]" \
    "-t 1|[0]" >"$farm/cases"
while IFS='|' read -r options expected; do
    read -ra words <<<"$options"
    fake_miner "${words[@]}"
    out=$(stats)
    check "miner with $options: the contract's JSON (got '$out')" jq -e "$contract" <<<"$out"
    check "miner with $options: hash $expected (got '$out')" \
        jq -e --argjson h "$expected" '.hash == $h' <<<"$out"
done <"$farm/cases"
fake_miner --http "127.0.0.1:$port"
check "the API's air and version are passed on" \
    jq -e '.air == ["12", "0", "3"] and .miner_version == "1.0.1"' <<<"$(stats)"
# Another program's JSON on the port is not taken for the miner's.
echo '{"busid":["cpu"],"hash":[99],"units":"hs","air":["1","0","0"],"miner_name":"other"}' >"$farm/www/mmpos"
check "another program's answer is not used" jq -e '.hash == [0]' <<<"$(stats)"

# No API, or one answering 503: the last speed line of the log (colours and all), while the
# miner runs and the log is written; zeros once the log is 60 s old (a hung miner).
printf '\e[90m speed\e[0m 10s/60s/15m  1000.00 H/s / 1000.00 H/s / 1000.00 H/s   parts 1/0\n' >"$log"
printf '\e[90m speed\e[0m 10s/60s/15m  1520.40 H/s / 1519.95 H/s / 1500.12 H/s   parts 12/3\n' >>"$log"
printf '\e[32m share\e[0m accepted (13/3)\n' >>"$log"
for options in "-t 1" "--http 127.0.0.1:$stalled_port"; do
    read -ra words <<<"$options"
    fake_miner "${words[@]}"
    touch "$log"
    out=$(stats)
    check "miner with $options, a fresh log: its last speed line (got '$out')" \
        jq -e "$contract"' and .hash == [1520.4] and .air == ["12", "0", "3"]' <<<"$out"
    touch -d '60 seconds ago' "$log"
    out=$(stats)
    check "miner with $options, a 60 s old log: zeros (got '$out')" \
        jq -e "$contract"' and .hash == [0]' <<<"$out"
done
touch "$log"
kill "$fake_pid"
wait "$fake_pid" 2>/dev/null
fake_pid=''
out=$(stats)
check "a log but no miner running: zeros (got '$out')" jq -e '.hash == [0]' <<<"$out"
rm -f "$log"

# --- the real miner ----------------------------------------------------------------------------
mv "$farm/mintrakel.real" "$dir/mintrakel"
if ! "$dir/mintrakel" --http 127.0.0.1:1 --help >/dev/null 2>&1; then
    echo "mmpos: this miner has no --http; the real-miner check is not run"
else
    "$standin" --port 0 --difficulty 8 --job-interval 30 >"$farm/pool.out" 2>&1 &
    pool_pid=$!
    pids+=("$pool_pid")
    wait_for 10 grep -q 'listening on' "$farm/pool.out"
    endpoint=$(sed -n 's/^listening on //p' "$farm/pool.out" | head -n 1)
    api_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    "$dir/mintrakel" --no-color -o "$endpoint" -u qel1mmpostest -w rig1 -t 1 \
        --http "127.0.0.1:$api_port" >"$log" 2>&1 &
    miner_pid=$!
    pids+=("$miner_pid")
    real_rate() { stats | jq -e "$contract"' and (.hash | length) == 1 and .hash[0] > 0'; }
    check "the real miner: one thread's rate from its API" wait_for 20 real_rate
    # The agent stops a custom miner with SIGTERM.
    kill -TERM "$miner_pid"
    wait "$miner_pid"
    check "the real miner ends cleanly on SIGTERM" test $? -eq 0
    out=$(stats)
    check "the real miner stopped: zeros (got '$out')" jq -e '.hash == [0]' <<<"$out"
    kill -INT "$pool_pid"
    wait "$pool_pid"
    check "the stand-in pool judged no share invalid" grep -q "invalid 0 duplicate 0" "$farm/pool.out"
fi

echo "mmpos: $passed passed, $failed failed in $((($(date +%s%N) - started) / 1000000)) ms"
((failed == 0))
