#!/usr/bin/env bash
# Sourced by the HiveOS agent inside a function, every few seconds. Sets two variables from the
# miner's stats file: khs (total rate in kH/s) and stats (one JSON object). A stats file not
# rewritten in the last 30 s means the miner died or hangs (the file stays after it ends): then
# khs=0 and stats=null, so the farm's watchdog can restart it. Needs bash, coreutils and jq.

# shellcheck disable=SC2034  # khs and stats are the agent's, read after this file returns
mintrakel_stats() {
    local here file age temp
    here=$(dirname "${BASH_SOURCE[0]}")
    # shellcheck source=h-manifest.conf
    . "$here/h-manifest.conf"
    file=$MINTRAKEL_STATS_FILE
    khs=0
    stats=null

    age=$(($(date +%s) - $(stat -c %Y "$file" 2>/dev/null || echo 0)))
    ((age >= 0 && age <= 30)) || return 0

    temp=$(mintrakel_cpu_temperature)
    stats=$(jq -c --argjson temp "[${temp}]" '
        select((.hashrate_hs | type) == "number") |
        {hs: [.hashrate_hs], hs_units: "hs", temp: $temp, fan: [0], uptime: .uptime_s,
         ver: .version, ar: [.accepted, .rejected], algo: .algo, bus_numbers: [null]}' \
        "$file" 2>/dev/null)
    if [[ -z $stats ]]; then
        stats=null
        return 0
    fi
    khs=$(jq -r '.hs[0] / 1000' <<<"$stats")
}

# The hottest CPU package in whole °C, from the hwmon drivers of AMD (k10temp: Tctl or Tdie) and
# Intel (coretemp: "Package id N"); nothing when neither is there.
mintrakel_cpu_temperature() {
    local hwmon name input label value best=''
    for hwmon in "${MINTRAKEL_HWMON_ROOT:-/sys/class/hwmon}"/hwmon*; do
        name=$(cat "$hwmon/name" 2>/dev/null)
        [[ $name == k10temp || $name == coretemp ]] || continue
        for input in "$hwmon"/temp*_input; do
            label=$(cat "${input%_input}_label" 2>/dev/null)
            case $name:$label in
                k10temp:Tctl | k10temp:Tdie | k10temp: | coretemp:Package\ id\ *) ;;
                *) continue ;;
            esac
            value=$(cat "$input" 2>/dev/null)
            [[ $value =~ ^[0-9]+$ ]] || continue
            value=$((value / 1000))
            [[ -z $best ]] || ((value > best)) && best=$value
        done
    done
    echo "$best"
}

mintrakel_stats
unset -f mintrakel_stats mintrakel_cpu_temperature
