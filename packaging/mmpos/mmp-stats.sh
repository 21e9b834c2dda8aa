#!/usr/bin/env bash
# Called by the mmpOS agent as "mmp-stats.sh DEVICE_COUNT LOG_FILE"; prints one JSON object:
#   {"busid":["cpu",...],"hash":[H/s,...],"units":"hs","air":["accepted","invalid","rejected"],
#    "miner_name":"mintrakel","miner_version":"..."}
# one busid and hash entry per hashing thread. The numbers come from the miner's HTTP API (its
# /mmpos answer), at the address given to the miner started from this folder with --http; when
# the miner runs without an API that answers (none given, no answer, or 503: its main loop is
# stalled), from the last speed line in LOG_FILE (one entry for the whole miner) while the log is
# younger than 30 s (the miner writes a speed line every 10 s); otherwise, or with no miner
# running, zeros, so a hung miner is seen as one. The agent renames this folder, so everything is
# found relative to this script. Needs bash, coreutils, procps and jq; curl for the API.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
log_file=${2:-}
version=$(
    # shellcheck source=/dev/null
    . "$here/mmp-external.conf" 2>/dev/null && echo "${EXTERNAL_VERSION:-}"
)

# The pid of the miner running from this folder, then the values of its --http and --http-token
# options (empty when not given), one per line. Fails when no such miner runs.
miner_process() {
    local pid exe arg option='' http='' token=''
    for pid in $(pgrep -x mintrakel); do
        exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
        [[ $exe == "$here/mintrakel" ]] || continue
        while IFS= read -r -d '' arg; do
            case $option in
                --http) http=$arg ;;
                --http-token) token=$arg ;;
            esac
            option=$arg
        done <"/proc/$pid/cmdline"
        printf '%s\n%s\n%s\n' "$pid" "$http" "$token"
        return 0
    done
    return 1
}

# The miner's own /mmpos answer, checked and compacted; nothing when it does not answer.
from_api() {
    local http=$1 token=$2 host port
    [[ -n $http ]] && command -v curl >/dev/null || return 0
    if [[ $http == *:* ]]; then
        host=${http%:*} port=${http##*:}
    else
        host=127.0.0.1 port=$http
    fi
    # An API listening on every address is asked on loopback.
    case $host in
        '' | 0.0.0.0) host=127.0.0.1 ;;
        '[::]' | '::') host='[::1]' ;;
    esac
    [[ $port =~ ^[0-9]+$ ]] || return 0
    # The token goes through curl's standard input, never its command line, quoted the way
    # curl's configuration reads it.
    token=${token//\\/\\\\}
    token=${token//\"/\\\"}
    printf 'header = "Authorization: Bearer %s"\n' "$token" |
        curl -fsS --noproxy '*' --max-time 2 ${token:+--config -} "http://$host:$port/mmpos" \
            2>/dev/null |
        jq -c 'select(.miner_name == "mintrakel" and (.hash | type) == "array" and
                      (.busid | type) == "array" and (.air | type) == "array") |
               {busid, hash, units: (.units // "hs"), air: [.air[] | tostring],
                miner_name, miner_version}' 2>/dev/null
}

# The last speed line of the log: the 10 s rate and the share counts; nothing from a log not
# written for 30 s.
from_log() {
    local line age
    [[ -r $log_file ]] || return 0
    age=$(($(date +%s) - $(stat -c %Y "$log_file" 2>/dev/null || echo 0)))
    ((age >= 0 && age <= 30)) || return 0
    line=$(tail -n 200 "$log_file" 2>/dev/null | sed 's/\x1b\[[0-9;]*m//g' |
        grep -E ' speed 10s/60s/15m ' | tail -n 1)
    [[ $line =~ 10s/60s/15m\ +([0-9]+(\.[0-9]+)?)\ H/s.*parts\ ([0-9]+)/([0-9]+) ]] || return 0
    report "${BASH_REMATCH[1]}" "${BASH_REMATCH[3]}" "${BASH_REMATCH[4]}"
}

report() {  # report <H/s> <accepted> <rejected>
    jq -cn --argjson rate "$1" --arg accepted "$2" --arg rejected "$3" --arg version "$version" \
        '{busid: ["cpu"], hash: [$rate], units: "hs", air: [$accepted, "0", $rejected],
          miner_name: "mintrakel", miner_version: $version}'
}

out=''
mapfile -t miner < <(miner_process)
if ((${#miner[@]} == 3)); then
    out=$(from_api "${miner[1]}" "${miner[2]}")
    [[ -n $out ]] || out=$(from_log)
fi
[[ -n $out ]] || out=$(report 0 0 0)
echo "$out"
