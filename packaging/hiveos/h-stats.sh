#!/usr/bin/env bash
# Sourced by the HiveOS agent inside a function, every few seconds. Sets two variables: khs (total
# rate in kH/s) and stats (one JSON object, one entry per hashing thread). It asks the miner's
# HTTP API first (the address h-run.sh wrote beside the stats file); when that does not answer it
# reads the stats file (one entry for the whole miner). h-run.sh removes both files when the miner
# ends; a stats file not rewritten in the last 30 s means the miner hangs or was killed. Then, as
# with no miner at all, khs=0 and stats=null, so the farm's watchdog can restart it. A paused
# miner answers with "paused": true: its rates are 0 at once, its stats still complete.
# Needs bash, coreutils and jq; curl for the API.

# shellcheck disable=SC2034  # khs and stats are the agent's, read after this file returns
mintrakel_stats() {
    local here file age temp api out centi token
    here=$(dirname "${BASH_SOURCE[0]}")
    # shellcheck source=h-manifest.conf
    . "$here/h-manifest.conf"
    khs=0
    stats=null

    temp=$(mintrakel_cpu_temperature)
    [[ -n $temp ]] || temp=null
    out=''
    api=''
    read -r api 2>/dev/null <"$MINTRAKEL_API_FILE"
    # Only this miner's answer counts: another program may hold the port.
    if [[ $api =~ ^127\.0\.0\.1:[0-9]+$ ]] && command -v curl >/dev/null; then
        # A flight sheet with --http-token (for pausing over the API) locks every document
        # behind it: the token is sent through curl's standard input, never its command line.
        mintrakel_http_token
        token=${token//\\/\\\\}
        token=${token//\"/\\\"}
        out=$(printf 'header = "Authorization: Bearer %s"\n' "$token" |
            curl -fsS --noproxy "*" --max-time 2 ${token:+--config -} "http://$api/api/v1/summary" 2>/dev/null |
            jq -r --argjson temp "$temp" '
            select(.algorithm == "argon2id-qel" and (.threads | type) == "array") | . as $s |
            [.threads[] | (if $s.paused == true then 0 else .hashrate_10s_hs end)
             | if type == "number" then . * 100 | round else 0 end]
            | if . == [] then [0] else . end | . as $rates |
            (add | tostring),
            ({hs: [$rates[] / 100], hs_units: "hs", temp: [$rates[] | $temp],
              fan: [$rates[] | null], uptime: $s.uptime_s, ver: ($s.version | tostring | ltrimstr("v")),
              ar: [$s.shares.accepted // 0, $s.shares.rejected // 0], algo: $s.algorithm,
              bus_numbers: [$rates[] | null]} | tojson)' 2>/dev/null)
    fi
    file=$MINTRAKEL_STATS_FILE
    if [[ -z $out ]]; then
        age=$(($(date +%s) - $(stat -c %Y "$file" 2>/dev/null || echo 0)))
        ((age >= 0 && age <= 30)) || return 0
        out=$(jq -r --argjson temp "$temp" '
            select((.hashrate_hs | type) == "number") | (.hashrate_hs * 100 | round) as $rate |
            ($rate | tostring),
            ({hs: [$rate / 100], hs_units: "hs", temp: [$temp], fan: [null], uptime: .uptime_s,
              ver: (.version | tostring | ltrimstr("v")), ar: [.accepted, .rejected],
              algo: .algo, bus_numbers: [null]} | tojson)' "$file" 2>/dev/null)
    fi
    centi=${out%%$'\n'*}
    [[ $centi =~ ^[0-9]+$ && $out == *$'\n'* ]] || return 0
    stats=${out#*$'\n'}
    # kH/s from hundredths of H/s in integers: exactly the digits the miner reported.
    khs=$(printf '%d.%05d' $((centi / 100000)) $((centi % 100000)))
    while [[ $khs == *0 ]]; do khs=${khs%0}; done
    khs=${khs%.}
}

# Sets the caller's token to the value of the miner's last --http-token in its arguments
# (h-config.sh writes one per line), empty without one. The shell alone, no process: the agent
# runs this every few seconds.
mintrakel_http_token() {
    local -a args
    local i
    token=''
    mapfile -t args 2>/dev/null <"$CUSTOM_CONFIG_FILENAME" || return 0
    for ((i = 0; i + 1 < ${#args[@]}; i++)); do
        [[ ${args[i]} == --http-token ]] && token=${args[i + 1]}
    done
}

# The hottest CPU package in whole °C; nothing when no sensor is known. AMD's k10temp gives Tdie
# (the die) when the CPU has one, else Tctl, which on some CPUs is the die plus an offset for fan
# control; Intel's coretemp gives one "Package id N" per package.
mintrakel_cpu_temperature() {
    local hwmon name input label value tdie tctl plain package best=''
    for hwmon in "${MINTRAKEL_HWMON_ROOT:-/sys/class/hwmon}"/hwmon*; do
        # read, not cat: the agent runs this every few seconds, so no process per file.
        name=''
        read -r name 2>/dev/null <"$hwmon/name"
        [[ $name == k10temp || $name == coretemp ]] || continue
        tdie='' tctl='' plain='' package=''
        for input in "$hwmon"/temp*_input; do
            value='' label=''
            read -r value 2>/dev/null <"$input"
            [[ $value =~ ^[0-9]+$ ]] || continue
            value=$((value / 1000))
            read -r label 2>/dev/null <"${input%_input}_label"
            case $name:$label in
                k10temp:Tdie) tdie=$value ;;
                k10temp:Tctl) tctl=$value ;;
                k10temp:) plain=$value ;;
                coretemp:Package\ id\ *) [[ -z $package ]] || ((value > package)) && package=$value ;;
            esac
        done
        value=${tdie:-${tctl:-${plain:-$package}}}
        [[ -n $value ]] || continue
        [[ -z $best ]] || ((value > best)) && best=$value
    done
    echo "$best"
}

mintrakel_stats
unset -f mintrakel_stats mintrakel_cpu_temperature mintrakel_http_token
