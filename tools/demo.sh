#!/usr/bin/env bash
# Runs the miner against the stand-in pool on loopback until Ctrl-C or DEMO_SECONDS pass.
# DEMO_TLS=1: over TLS, with a throw-away self-signed certificate that the miner pins.
# Prints the address of the miner's status page before it starts.
set -u
build=${1:-build}
seconds=${DEMO_SECONDS:-120}
log=$(mktemp)
tmp=$(mktemp -d)
pool_args=(--port 0 --job-interval 30)
scheme=
tls_args=()
if [ "${DEMO_TLS:-0}" = 1 ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
        -subj /CN=localhost -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null || {
        echo "openssl could not make the demo certificate" >&2
        exit 1
    }
    pool_args+=(--tls "$tmp/cert.pem" "$tmp/key.pem")
    scheme=stratum+ssl://
    tls_args=(--tls-fingerprint "$(openssl x509 -in "$tmp/cert.pem" -noout -fingerprint -sha256 | cut -d= -f2)")
fi
"$build/standin_pool" "${pool_args[@]}" >"$log" 2>&1 &
pool=$!
trap 'kill -INT $pool 2>/dev/null; wait $pool 2>/dev/null; echo; echo "stand-in pool: $(tail -n 1 "$log")"; rm -rf "$log" "$tmp"' EXIT
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
# The status page on a loopback port nothing answers on (DEMO_HTTP_PORT to choose one).
http_port=${DEMO_HTTP_PORT:-}
if [ -z "$http_port" ]; then
    for candidate in $(seq 48080 48179); do
        (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null && continue
        http_port=$candidate
        break
    done
fi
echo "stand-in pool on $scheme$endpoint; mining for ${seconds} s (Ctrl-C stops earlier)"
echo "status page: http://127.0.0.1:${http_port:-0}/"
# The miner handles SIGINT itself (clean exit); timeout sends SIGINT when the time is up.
timeout --foreground -s INT "$seconds" "$build/mintrakel" -o "$scheme$endpoint" "${tls_args[@]}" \
    -u qel1demo0000000000000000000000000000000000000000000000000000000 -w demo \
    --http "127.0.0.1:${http_port:-0}"
status=$?
# 124: the time was up, and the miner stopped cleanly on timeout's SIGINT.
[ "$status" -eq 124 ] && status=0
exit "$status"
