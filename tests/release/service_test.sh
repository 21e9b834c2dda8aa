#!/usr/bin/env bash
# The systemd unit: systemd-analyze accepts it without a word, rates its sandbox 2.0 or safer, and
# the sandbox still lets the miner do its work (the system calls, address families, paths and
# exit-code rules it relies on).
# usage: service_test.sh <mintrakel.service> <mintrakel binary> [<standin_pool binary>]
# With the stand-in pool and strace, the system calls of a short mining run are checked against
# the unit's filter too. Exit 77 (skipped) without systemd-analyze. Ends with "service: N passed,
# M failed".
set -u

unit_src=$1 binary=$2 standin=${3:-}
command -v systemd-analyze >/dev/null || { echo "service: systemd-analyze missing, skipped"; exit 77; }

# shellcheck source-path=SCRIPTDIR/../support
# shellcheck source=checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

work=$(mktemp -d)
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
# verify looks for the binary the unit names; the unit's file name must end in .service.
unit=$work/mintrakel.service
sed "s#/usr/local/bin/mintrakel#$(realpath "$binary")#" "$unit_src" >"$unit"

systemd-analyze verify "$unit" >"$work/verify.out" 2>&1
check "systemd-analyze verify exits 0" test $? -eq 0
check "systemd-analyze verify has nothing to say ($(tr '\n' ' ' <"$work/verify.out"))" \
    test ! -s "$work/verify.out"

systemd-analyze security --offline=true "$unit" >"$work/security.out" 2>&1
score=$(sed -n 's/.*Overall exposure level for mintrakel.service: \([0-9.]*\).*/\1/p' "$work/security.out")
echo "service: exposure $score"
check "systemd-analyze security rates the unit (got '$score')" test -n "$score"
check "the exposure is 2.0 or below (got $score)" awk -v s="${score:-99}" 'BEGIN { exit !(s <= 2.0) }'

# Every value of a setting, in order; "" resets the list as systemd does.
values() {
    local key=$1 line
    local -a out=()
    while IFS= read -r line; do
        [[ -z $line ]] && out=() || out+=("$line")
    done < <(sed -n "s/^$key=//p" "$unit")
    printf '%s\n' "${out[@]}"
}

# The system calls the miner makes must pass the filter: allowed by one of the allow lists and
# denied by none of the "~" lists. A set expands through systemd-analyze itself, and its member
# sets in turn.
expand() {  # the calls of a list of names and @sets
    local name
    for name in "$@"; do
        if [[ $name == @* ]]; then
            # shellcheck disable=SC2046  # one word per member
            expand $(systemd-analyze syscall-filter "$name" | sed -n 's/^    \([@a-z0-9_-]*\)$/\1/p')
        else
            echo "$name"
        fi
    done
}
allowed=() denied=()
while read -r filter; do
    if [[ $filter == ~* ]]; then
        read -ra names <<<"${filter#\~}"
        mapfile -t -O "${#denied[@]}" denied < <(expand "${names[@]}")
    else
        read -ra names <<<"$filter"
        mapfile -t -O "${#allowed[@]}" allowed < <(expand "${names[@]}")
    fi
done < <(values SystemCallFilter)
check "the unit filters system calls" test "${#allowed[@]}" -gt 0

# The calls a mining run makes, as strace sees them (with --http when the miner has it), besides
# those of the stats file and the HTTP server, which a short run may not reach.
calls=(sched_setaffinity mmap munmap madvise rename bind listen accept4)
if [[ -n $standin ]] && strace -f -qq -o /dev/null true 2>/dev/null; then
    "$standin" --port 0 --difficulty 8 >"$work/pool.out" 2>&1 &
    pids+=("$!")
    for _ in $(seq 100); do
        grep -q 'listening on' "$work/pool.out" && break
        sleep 0.05
    done
    endpoint=$(sed -n 's/^listening on //p' "$work/pool.out" | head -n 1)
    http=()
    if "$binary" --http 127.0.0.1:1 --help >/dev/null 2>&1; then
        port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null)
        [[ -n $port ]] && http=(--http "127.0.0.1:$port")
    fi
    # LeakSanitizer cannot run under ptrace and would fail the exit of a sanitized build.
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
        strace -f -qq -o "$work/trace" "$binary" --no-color -o "$endpoint" -u qel1servicetest -t 1 \
        "${http[@]}" --stats-file "$work/stats.json" >"$work/mine.out" 2>&1 &
    tracer=$!
    pids+=("$tracer")
    for _ in $(seq 200); do
        grep -q 'share accepted' "$work/mine.out" && break
        sleep 0.05
    done
    check "the traced miner gets a share accepted" grep -q 'share accepted' "$work/mine.out"
    if ((${#http[@]})) && command -v curl >/dev/null; then
        check "the traced miner's API answers" \
            curl -fsS --noproxy '*' --max-time 5 "http://${http[1]}/api/v1/summary"
    fi
    kill -INT "$(pgrep -P "$tracer")" 2>/dev/null
    wait "$tracer"
    check "the traced miner stops cleanly" test $? -eq 0
    mapfile -t -O "${#calls[@]}" calls < <(sed -E 's/^[0-9]+ +//; s/^([a-z0-9_]+)\(.*/\1/; /^[a-z0-9_]+$/!d' \
        "$work/trace" | sort -u)
    check "strace saw the run's system calls (${#calls[@]})" test "${#calls[@]}" -gt 20
else
    echo "service: no stand-in pool or no strace; only the known system calls are checked"
fi
for call in $(printf '%s\n' "${calls[@]}" | sort -u); do
    in_allowed=no in_denied=no
    printf '%s\n' "${allowed[@]}" | grep -qx "$call" && in_allowed=yes
    printf '%s\n' "${denied[@]}" | grep -qx "$call" && in_denied=yes
    check "the filter allows $call (allowed $in_allowed, denied $in_denied)" \
        test "$in_allowed.$in_denied" = yes.no
done

# Everything else the miner needs.
families=" $(values RestrictAddressFamilies | tr '\n' ' ') "
for family in AF_INET AF_INET6 AF_UNIX; do
    check "$family is allowed (pool, --http, local name look-ups)" \
        bash -c "[[ '$families' == *' $family '* ]]"
done
check "/proc/meminfo stays visible (no ProcSubset=pid)" bash -c "! grep -qx 'ProcSubset=pid' '$unit'"
check "the stats file is kept under the unit's runtime directory" \
    bash -c "grep -qx 'RuntimeDirectory=mintrakel' '$unit' && grep -q -- '--stats-file /run/mintrakel/' '$unit'"
check "the stats file is readable by everyone" grep -qx 'UMask=0022' "$unit"
check "no capability at all" grep -qx 'CapabilityBoundingSet=' "$unit"
check "exit 1 and 2 are not restarted" grep -qx 'RestartPreventExitStatus=1 2' "$unit"

echo "service: $passed passed, $failed failed"
((failed == 0))
