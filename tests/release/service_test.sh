#!/usr/bin/env bash
# The systemd unit: systemd-analyze accepts it without a word, rates its sandbox 2.0 or safer, and
# the sandbox still lets the miner do its work (the system calls, address families, paths and
# exit-code rules it relies on).
# usage: service_test.sh <mintrakel.service> <mintrakel binary>
# Exit 77 (skipped) without systemd-analyze. Ends with "service: N passed, M failed".
set -u

unit_src=$1 binary=$2
command -v systemd-analyze >/dev/null || { echo "service: systemd-analyze missing, skipped"; exit 77; }

passed=0 failed=0
check() {  # check <description> <command...>
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $what" >&2
    fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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
for call in sched_setaffinity mmap munmap madvise mprotect clone3 futex nanosleep \
    clock_nanosleep socket connect bind listen accept4 poll sendto recvfrom setsockopt \
    getsockopt shutdown openat rename uname getrandom exit_group rt_sigaction; do
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
