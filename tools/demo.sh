#!/usr/bin/env bash
# Runs the miner against the stand-in pool on loopback until Ctrl-C or DEMO_SECONDS pass.
set -u
build=${1:-build}
seconds=${DEMO_SECONDS:-120}
log=$(mktemp)
"$build/standin_pool" --port 0 --job-interval 30 >"$log" 2>&1 &
pool=$!
trap 'kill -INT $pool 2>/dev/null; wait $pool 2>/dev/null; echo; echo "stand-in pool: $(tail -n 1 "$log")"; rm -f "$log"' EXIT
for _ in $(seq 50); do
    grep -q 'listening on' "$log" && break
    sleep 0.1
done
endpoint=$(sed -n 's/^listening on //p' "$log" | head -n 1)
if [ -z "$endpoint" ]; then
    echo "the stand-in pool did not start:" >&2
    cat "$log" >&2
    exit 1
fi
echo "stand-in pool on $endpoint; mining for ${seconds} s (Ctrl-C stops earlier)"
# The miner handles SIGINT itself (clean exit); timeout sends SIGINT when the time is up.
timeout --foreground -s INT "$seconds" "$build/mintrakel" -o "$endpoint" \
    -u qel1demo0000000000000000000000000000000000000000000000000000000 -w demo
status=$?
# 124: the time was up, and the miner stopped cleanly on timeout's SIGINT.
[ "$status" -eq 124 ] && status=0
exit "$status"
