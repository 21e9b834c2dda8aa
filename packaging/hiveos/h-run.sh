#!/usr/bin/env bash
# Started by HiveOS (as root, in the miner's screen session) after h-config.sh: runs the miner in
# the foreground with the flight sheet's arguments, the stats file and the HTTP API that
# h-stats.sh reads, its output shown and appended to CUSTOM_LOG_BASENAME.log.
#
# HiveOS starts this again about 3 s after it returns, forever. So it returns only when a restart
# can help; otherwise it waits:
#   - no configuration, or the miner refused its options (exit 2) or the CPU (exit 1): a message
#     in the log and on the dashboard (HiveOS's "message"), then it waits until HiveOS restarts
#     it with a new flight sheet;
#   - MINER_STOP present ("miner stop"): no miner is started while it exists, and the Ctrl-C that
#     follows it ends this script, once the miner has ended cleanly, by that same signal, which
#     tells HiveOS's loop to end too.

cd "$(dirname "${BASH_SOURCE[0]}")" || exit 1
# shellcheck source=h-manifest.conf
. ./h-manifest.conf

log="$CUSTOM_LOG_BASENAME.log"
mkdir -p "$(dirname "$log")" "$(dirname "$MINTRAKEL_STATS_FILE")" "$(dirname "$MINTRAKEL_API_FILE")"

say() {
    echo "mintrakel: $*" | tee -a "$log"
}

# How many hashing threads the miner will run: --cpus (one per entry) over -t, else its automatic
# count, at most one thread per 8 MiB of L3 in each L3 domain. An estimate is enough: it only
# sizes the huge-page reservation.
thread_estimate() {
    local cpus='' threads='' piece count=0
    local -a pieces
    while (($#)); do
        case $1 in
            -t | --threads) threads=${2:-} ;;
            --cpus) cpus=${2:-} ;;
        esac
        case $1 in
            -t | --threads | --cpus | -o | --pool | -u | --user | --address | -w | --worker | \
                --stats-file | --engine | --stores | --verify | --bench | --http | \
                --http-token) shift ;;
        esac
        shift
    done
    IFS=, read -ra pieces <<<"$cpus"
    for piece in "${pieces[@]}"; do
        if [[ $piece =~ ^([0-9]+)-([0-9]+)$ ]]; then
            ((10#${BASH_REMATCH[1]} <= 10#${BASH_REMATCH[2]})) &&
                count=$((count + 10#${BASH_REMATCH[2]} - 10#${BASH_REMATCH[1]} + 1))
        elif [[ $piece =~ ^-?[0-9]+ ]]; then
            count=$((count + 1))
        fi
    done
    if ((count == 0)) && [[ $threads =~ ^[[:space:]]*\+?0*([0-9]{1,6})$ ]]; then
        count=$((10#${BASH_REMATCH[1]}))
    fi
    ((count > 0)) || count=$(l3_thread_estimate)
    echo "$count"
}

# Sum over the L3 domains of min(CPUs in the domain, L3 size / 8 MiB); nproc without cache data.
l3_thread_estimate() {
    local dir id size kib cap total=0
    local -A cpus_in kib_of
    for dir in /sys/devices/system/cpu/cpu[0-9]*; do
        [[ -r $dir/cache/index3/id && -r $dir/cache/index3/size ]] || continue
        id=$(<"$dir/cache/index3/id")
        size=$(<"$dir/cache/index3/size")
        [[ $size =~ ^([0-9]+)([KM]?)$ ]] || continue
        case ${BASH_REMATCH[2]} in
            K) kib=$((10#${BASH_REMATCH[1]})) ;;
            M) kib=$((10#${BASH_REMATCH[1]} * 1024)) ;;
            *) kib=$((10#${BASH_REMATCH[1]} / 1024)) ;;
        esac
        cpus_in[$id]=$((${cpus_in[$id]:-0} + 1))
        ((kib > ${kib_of[$id]:-0})) && kib_of[$id]=$kib
    done
    for id in "${!cpus_in[@]}"; do
        cap=$((kib_of[$id] / 8192))
        ((cap < 1)) && cap=1
        ((cap > cpus_in[$id])) && cap=${cpus_in[$id]}
        total=$((total + cap))
    done
    ((total > 0)) || total=$(nproc 2>/dev/null || echo 1)
    echo "$total"
}

# One value (kB or pages) from /proc/meminfo; nothing when the key is missing.
meminfo() {
    awk -v key="$1:" '$1 == key {print $2}' "${MINTRAKEL_MEMINFO:-/proc/meminfo}" 2>/dev/null
}

# What reserve_huge_pages raised vm.nr_hugepages from and to, so a refused run can give it back.
pages_before='' pages_after=''

# Each 8 MiB arena takes four reserved 2 MiB pages, and only free ones count: pages held by
# another program are not this miner's. The pool grows by what is missing, never into memory the
# rest of the system needs (the miner itself leaves it 1.5 GiB); too few pages only means
# ordinary pages (slower), so any shortfall is reported and mining starts all the same.
reserve_huge_pages() {
    local threads=$1 need page_kib total free avail_kib spare add
    page_kib=$(meminfo Hugepagesize)
    if [[ ${page_kib:-2048} != 2048 ]]; then
        say "huge pages are ${page_kib} kB here, not 2048 kB: arenas use ordinary pages"
        return
    fi
    need=$((threads * 4))
    total=$(meminfo HugePages_Total)
    free=$(meminfo HugePages_Free)
    [[ $total =~ ^[0-9]+$ ]] || total=0
    [[ $free =~ ^[0-9]+$ ]] || free=0
    ((free >= need)) && return
    avail_kib=$(meminfo MemAvailable)
    [[ $avail_kib =~ ^[0-9]+$ ]] || avail_kib=0
    spare=$(((avail_kib - 1572864) / 2048))
    add=$((need - free))
    ((add > spare)) && add=$spare
    if ((add > 0)); then
        sysctl -q -w "vm.nr_hugepages=$((total + add))" >/dev/null 2>&1 &&
            pages_before=$total pages_after=$((total + add))
        free=$(meminfo HugePages_Free)
        [[ $free =~ ^[0-9]+$ ]] || free=0
    fi
    if ((free >= need)); then
        say "$free huge pages free for $threads thread(s)"
    else
        say "$free huge pages free for $threads thread(s), $need wanted: the other arenas use ordinary pages"
    fi
}

# Gives back the pages reserve_huge_pages added, unless someone else has resized the pool since.
release_huge_pages() {
    [[ -n $pages_before && $(meminfo HugePages_Total) == "$pages_after" ]] || return 0
    sysctl -q -w "vm.nr_hugepages=$pages_before" >/dev/null 2>&1
    pages_before='' pages_after=''
}

# The miner's own last line, without colours: why it refused (its error on standard error, or
# its red line about the CPU).
last_line() {
    sed 's/\x1b\[[0-9;]*m//g; s/^[[:space:]]*//; s/[[:space:]]*$//' | grep -v '^$' | tail -n 1
}

# Exit 1 or 2: the miner refused the CPU or the flight sheet, and no restart can change that. Says
# why in the log and on the dashboard, then waits for a new flight sheet.
refused() {  # refused <exit code> <the miner's reason>
    local why after
    case $1 in
        1) why="this CPU cannot run it" after="a restart cannot change that, so it is not restarted" ;;
        *) why="the flight sheet gives it a wrong option or no payout address"
           after="it is not restarted until a corrected flight sheet is applied" ;;
    esac
    release_huge_pages
    say "the miner exited with code $1: $why (see the lines above); $after"
    if command -v message >/dev/null; then
        message error "mintrakel refused to start (exit $1), $why: ${2:-see its log}" \
            >/dev/null 2>&1
    fi
    wait_for_restart
}

# Whether the miner takes these options on this CPU, asked before anything is reserved for it:
# the same options with a one-record known-answer check, which the miner runs after reading its
# options, choosing its engine and placing its threads, and before it would mine. Its output is
# kept for the log only when it refuses.
check_options() {
    local record status output
    record=$(mktemp) || return 0
    echo "80e4355263f57e04128a3b37193cae44eacd4448e233de160338eac34f0b13dba4f23601684c65a2eea889046da21e1a847248870f08336254789cea46e4d5100cffd47b04e11f6bf4f3719cf2bbab63726018fab40f0bbe70f905f48be0e611b15480aac99444a7fe5841d4ffff7f20 16126587510189131028 249de83e6a0df2d6579b6c8e26c9d7d1b71ff0fc13463fa7023db3eb9ec2b763 1" >"$record"
    output=$(./mintrakel "$@" --no-color --verify "$record" 2>&1)
    status=$?
    rm -f "$record"
    if ((status == 1 || status == 2)); then
        echo "$output" | tee -a "$log"
        refused "$status" "$(last_line <<<"$output")"
    fi
}

stop_requested() {
    [[ -e $MINTRAKEL_STOP_FILE ]]
}

# Waits for a restart by HiveOS (a new flight sheet, "miner restart"); Ctrl-C ends the sleep,
# and with it this script, by SIGINT.
wait_for_restart() {
    exec sleep 2147483647
}

if stop_requested; then
    say "$MINTRAKEL_STOP_FILE exists (miner stop): the miner is not started while it does"
    while stop_requested; do
        sleep 1
    done
fi

if [[ ! -s $CUSTOM_CONFIG_FILENAME ]]; then
    say "no configuration in $CUSTOM_CONFIG_FILENAME: set the payout address (wallet) and the pool in the flight sheet; the miner waits for it"
    wait_for_restart
fi

mapfile -t args <"$CUSTOM_CONFIG_FILENAME"
check_options "${args[@]}"
reserve_huge_pages "$(thread_estimate "${args[@]}")"

port=${MINER_API_PORT:-}
[[ $port =~ ^[0-9]{1,5}$ ]] && ((10#$port >= 1 && 10#$port <= 65535)) || port=$MINTRAKEL_API_PORT
api=127.0.0.1:$((10#$port))

# A signal for the whole screen session (Ctrl-C, TERM, HUP when the screen closes) reaches the
# miner, which prints its shutdown line and ends; bash runs these traps only after the miner's
# pipeline has ended, so the line is logged and the files below are removed first. The log
# writer ignores INT and TERM for the same reason: killed first, it would lose that last line.
signal=''
trap 'signal=INT' INT
trap 'signal=TERM' TERM
trap 'signal=HUP' HUP

# Whatever an earlier miner left is not this one's: the dashboard reads 0 until it reports.
rm -f "$MINTRAKEL_STATS_FILE" "$MINTRAKEL_API_FILE"
echo "$api" >"$MINTRAKEL_API_FILE"
status=0
log_size=$(stat -c %s "$log" 2>/dev/null || echo 0)
if [[ -z $signal ]]; then
    # --http and the stats file come last so the flight sheet's options cannot move them away
    # from h-stats.sh.
    ./mintrakel "${args[@]}" --http "$api" --stats-file "$MINTRAKEL_STATS_FILE" 2>&1 |
        (trap '' INT TERM && exec tee -a "$log")
    status=${PIPESTATUS[0]}
fi
rm -f "$MINTRAKEL_STATS_FILE" "$MINTRAKEL_API_FILE"

# "miner stop" (MINER_STOP, then Ctrl-C), TERM or a closed screen: end by the signal, so HiveOS's
# loop, which got it too, ends instead of starting a new miner. A Ctrl-C alone (a person at the
# screen) returns, and HiveOS starts the miner again, as it does for its other miners.
if [[ -n $signal ]] && { [[ $signal != INT ]] || stop_requested; }; then
    trap - "$signal"
    kill -s "$signal" "$$"
fi
if [[ -n $signal ]] || stop_requested; then
    exit "$status"
fi
if ((status == 1 || status == 2)); then
    refused "$status" "$(tail -c +$((log_size + 1)) "$log" 2>/dev/null | last_line)"
fi
exit "$status"
