#!/usr/bin/env bash
# What the HTTP endpoint costs the hash rate: benchmark runs with --http and a client fetching
# /metrics every 100 ms, against the same runs without, alternated (A B B A ...) so that drift in
# the machine's load falls on both sides. Prints every run and the ratio of the means.
# usage: http_overhead.sh <mintrakel binary> [seconds per run (30)] [pairs (3)] [miner options...]
set -u
miner=$1 seconds=${2:-30} pairs=${3:-3}
shift $(($# < 3 ? $# : 3))
extra=("$@")

# One benchmark run; prints its rate in H/s.
run() {  # run with|without
    local out rate
    out=$(mktemp)
    if [[ $1 == with ]]; then
        "$miner" --no-color --bench "$seconds" "${extra[@]}" --http 127.0.0.1:0 >"$out" 2>&1 &
        local pid=$!
        local port=''
        while [[ -z $port ]] && kill -0 "$pid" 2>/dev/null; do
            sleep 0.1
            port=$(sed -n 's/.* http  API on http:\/\/127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$out")
        done
        poll "$port" "$pid" &
        local poller=$!
        wait "$pid"
        kill "$poller" 2>/dev/null
        wait "$poller" 2>/dev/null
    else
        "$miner" --no-color --bench "$seconds" "${extra[@]}" >"$out" 2>&1
    fi
    rate=$(sed -n 's/.* bench [0-9]* threads: \([0-9.]*\) H\/s over.*/\1/p' "$out")
    rm -f "$out"
    echo "${rate:-0}"
}

# A keep-alive client in the shell itself (no process per request): GET /metrics every 100 ms,
# reading each answer whole, as long as the miner runs.
poll() {  # poll <port> <miner pid>
    local port=$1 pid=$2 line length body
    while kill -0 "$pid" 2>/dev/null; do
        exec 3<>"/dev/tcp/127.0.0.1/$port" || return
        while kill -0 "$pid" 2>/dev/null; do
            printf 'GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n' >&3 || break
            length=0
            while IFS= read -r -t 2 line <&3; do
                line=${line%$'\r'}
                [[ -z $line ]] && break
                [[ ${line,,} == content-length:* ]] && length=${line#*: }
            done
            [[ $length -gt 0 ]] || break
            read -r -t 2 -N "$length" body <&3 || break
            : "$body"
            sleep 0.1
        done
        exec 3<&-
    done
}

with=() without=()
for ((i = 0; i < pairs; i++)); do
    if ((i % 2 == 0)); then order=(without with); else order=(with without); fi
    for side in "${order[@]}"; do
        rate=$(run "$side")
        echo "run $((i + 1)) $side --http: $rate H/s"
        if [[ $side == with ]]; then with+=("$rate"); else without+=("$rate"); fi
    done
done
mean() { printf '%s\n' "$@" | awk '{ s += $1 } END { printf "%.2f", s / NR }'; }
mw=$(mean "${with[@]}") mo=$(mean "${without[@]}")
echo "mean with --http and polling: $mw H/s; without: $mo H/s"
awk -v a="$mw" -v b="$mo" 'BEGIN { printf "ratio %.4f\n", (b > 0 ? a / b : 0) }'
