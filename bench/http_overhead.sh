#!/usr/bin/env bash
# What the HTTP endpoint costs the hash rate: benchmark runs with --http and a client fetching
# /metrics every 100 ms, against the same runs without, alternated (A B B A ...) so that drift in
# the machine's load falls on both sides. Prints every run and two ratios of the means: of the
# hash rates, and of the hashes per CPU second the miner used (its HTTP thread included). On a
# machine shared with other work the second is the steadier: it does not move with the CPU time
# other programs take.
# usage: http_overhead.sh <mintrakel binary> [seconds per run (30)] [pairs (3)] [miner options...]
set -u
miner=$1 seconds=${2:-30} pairs=${3:-3}
shift $(($# < 3 ? $# : 3))
extra=("$@")

# Runs the miner with the arguments, its output in $1 and its CPU seconds (user + system) in $2.
timed() {  # timed <out> <cpu file> <miner args...>
    local out=$1 cpu=$2
    shift 2
    # shellcheck disable=SC2016
    bash -c 'TIMEFORMAT="%3U %3S"; { time "$@" >"$0" 2>&1; } 2>&1' "$out" "$miner" "$@" |
        awk '{ print $1 + $2 }' >"$cpu"
}

# One benchmark run; prints its rate in H/s and its hashes per CPU second.
run() {  # run with|without
    local out cpu rate
    out=$(mktemp) cpu=$(mktemp)
    if [[ $1 == with ]]; then
        timed "$out" "$cpu" --no-color --bench "$seconds" "${extra[@]}" --http 127.0.0.1:0 &
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
        timed "$out" "$cpu" --no-color --bench "$seconds" "${extra[@]}"
    fi
    rate=$(sed -n 's/.* bench [0-9]* threads: \([0-9.]*\) H\/s over.*/\1/p' "$out")
    awk -v r="${rate:-0}" -v s="$seconds" -v c="$(cat "$cpu")" \
        'BEGIN { printf "%s %.2f\n", r, (c > 0 ? r * s / c : 0) }'
    rm -f "$out" "$cpu"
}

# A keep-alive client in the shell itself (no process per request): GET /metrics every 100 ms,
# reading each answer whole, as long as the miner runs.
poll() {  # poll <port> <miner pid>
    local port=$1 pid=$2 line length body
    while kill -0 "$pid" 2>/dev/null; do
        { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null || return
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

with=() without=() with_cpu=() without_cpu=()
for ((i = 0; i < pairs; i++)); do
    if ((i % 2 == 0)); then order=(without with); else order=(with without); fi
    for side in "${order[@]}"; do
        read -r rate per_cpu < <(run "$side")
        echo "run $((i + 1)) $side --http: $rate H/s, $per_cpu hashes per CPU second"
        if [[ $side == with ]]; then
            with+=("$rate") with_cpu+=("$per_cpu")
        else
            without+=("$rate") without_cpu+=("$per_cpu")
        fi
    done
done
mean() { printf '%s\n' "$@" | awk '{ s += $1 } END { printf "%.2f", s / NR }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", (b > 0 ? a / b : 0) }'; }
mw=$(mean "${with[@]}") mo=$(mean "${without[@]}")
cw=$(mean "${with_cpu[@]}") co=$(mean "${without_cpu[@]}")
echo "mean with --http and polling: $mw H/s, $cw per CPU s; without: $mo H/s, $co per CPU s"
echo "ratio (hash rate) $(ratio "$mw" "$mo")"
echo "ratio (hashes per CPU second) $(ratio "$cw" "$co")"
