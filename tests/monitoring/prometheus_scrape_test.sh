#!/usr/bin/env bash
# Debian's Prometheus scrapes the miner's /metrics every second while it mines against the
# stand-in pool; Prometheus's own query API must then show per-thread hash counters above zero
# and an accepted-share counter equal to the stand-in's count of valid shares. promtool lints the
# exposition and the shipped scrape configuration.
# usage: prometheus_scrape_test.sh <mintrakel binary> <standin_pool binary> <source dir>
# Exit 77 (skipped) without prometheus, promtool, curl or jq.
set -u
miner_bin=$1 standin_bin=$2 src=$3
for tool in prometheus promtool curl jq; do
    command -v "$tool" >/dev/null || { echo "prometheus: $tool missing, skipped"; exit 77; }
done

CHECKS_KEEP_STDERR=1
# shellcheck source-path=SCRIPTDIR/../support
# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

tmp=$(mktemp -d)
pool_pid='' miner_pid='' prom_pid=''
cleanup() {
    for pid in $prom_pid $miner_pid $pool_pid; do kill -INT "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

check "the shipped scrape configuration is valid" \
    promtool check config --syntax-only "$src/packaging/monitoring/prometheus.yml"

# A short range the two threads finish in about a second, and no further job: once it is done,
# every share has been judged and answered, and the counts can be compared.
"$standin_bin" --difficulty 40 --job-interval 0 --nonce-span 600 >"$tmp/pool.out" &
pool_pid=$!
wait_for 10 grep -q 'listening on' "$tmp/pool.out" || { echo "stand-in did not start"; exit 1; }
pool_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$tmp/pool.out")

"$miner_bin" --no-color -o "127.0.0.1:$pool_port" -u qel1testaddress -w ci -t 2 \
    --http 127.0.0.1:0 >"$tmp/miner.out" 2>&1 &
miner_pid=$!
wait_for 20 grep -q ' http  API on ' "$tmp/miner.out" || {
    echo "miner API did not start"; cat "$tmp/miner.out"; exit 1; }
api_port=$(sed -n 's/.* http  API on http:\/\/127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$tmp/miner.out")
api=http://127.0.0.1:$api_port

# Prometheus on a free port of its own (a taken one makes it exit; another is tried).
cat >"$tmp/prometheus.yml" <<CONF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: mintrakel
    static_configs:
      - targets: ["127.0.0.1:$api_port"]
CONF
for _ in 1 2 3 4 5; do
    prom_port=$((20000 + RANDOM % 30000))
    prometheus --config.file="$tmp/prometheus.yml" --storage.tsdb.path="$tmp/data" \
        --web.listen-address="127.0.0.1:$prom_port" >"$tmp/prometheus.log" 2>&1 &
    prom_pid=$!
    if wait_for 20 curl -sf "http://127.0.0.1:$prom_port/-/ready"; then break; fi
    kill -INT "$prom_pid" 2>/dev/null
    wait "$prom_pid" 2>/dev/null
    prom_pid=''
done
[[ -n $prom_pid ]] || { echo "prometheus did not start"; cat "$tmp/prometheus.log"; exit 1; }
prom=http://127.0.0.1:$prom_port

range_done() {
    [[ $(curl -sf "$api/api/v1/summary" | jq '[.threads[].hashes] | add') == 600 ]]
}
check "the miner hashed the whole range" wait_for 30 range_done
sleep 1  # the last replies
kill -INT "$pool_pid"
wait "$pool_pid"
pool_pid=''
valid=$(sed -n 's/^valid \([0-9]*\) invalid.*/\1/p' "$tmp/pool.out")
check "the stand-in judged shares valid" test "${valid:-0}" -gt 0

query() {  # the query's result vector
    curl -sf "$prom/api/v1/query" --data-urlencode "query=$1" | jq -c '.data.result'
}
accepted_matches() {
    [[ $(query 'mintrakel_shares_accepted_total{job="mintrakel"}' | jq -r '.[0].value[1]') \
        == "$valid" ]]
}
check "Prometheus's accepted-share counter equals the stand-in's valid count ($valid)" \
    wait_for 15 accepted_matches
threads_counted() {
    [[ $(query 'mintrakel_thread_hashes_total > 0' | jq 'length') == 2 ]]
}
check "Prometheus has both threads' hash counters above zero" wait_for 10 threads_counted
check "per-thread series carry thread and cpu labels" \
    bash -c "[[ \$(curl -sf '$prom/api/v1/query' --data-urlencode \
        'query=mintrakel_thread_hashes_total' | jq -r '.data.result[0].metric | has(\"thread\") and has(\"cpu\")') == true ]]"
check "the scrape target is up" \
    bash -c "[[ \$(curl -sf '$prom/api/v1/query' --data-urlencode 'query=up{job=\"mintrakel\"}' \
        | jq -r '.data.result[0].value[1]') == 1 ]]"

curl -sf "$api/metrics" >"$tmp/metrics.txt"
lint=$(promtool check metrics <"$tmp/metrics.txt" 2>&1)
check "promtool finds no problem in /metrics" test $? -eq 0
check "promtool printed nothing about /metrics: $lint" test -z "$lint"

kill -INT "$miner_pid"
wait "$miner_pid"
check "the miner ends cleanly" test $? -eq 0
miner_pid=''

echo "prometheus: $passed passed, $failed failed"
((failed == 0))
