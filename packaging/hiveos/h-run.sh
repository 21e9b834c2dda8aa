#!/usr/bin/env bash
# Started by HiveOS (as root, in the miner's screen session) after h-config.sh: runs the miner in
# the foreground with the flight sheet's arguments and the stats file that h-stats.sh reads,
# its output shown and appended to CUSTOM_LOG_BASENAME.log.

cd "$(dirname "${BASH_SOURCE[0]}")" || exit 1
# shellcheck source=h-manifest.conf
. ./h-manifest.conf

log="$CUSTOM_LOG_BASENAME.log"
mkdir -p "$(dirname "$log")" "$(dirname "$MINTRAKEL_STATS_FILE")"

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
                --stats-file | --engine | --stores | --verify | --bench) shift ;;
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

# Each 8 MiB arena takes four reserved 2 MiB pages. The request never takes memory that the rest
# of the system needs (the miner itself leaves it 1.5 GiB), and too few pages only means ordinary
# pages (slower), so any shortfall is reported and mining starts all the same.
reserve_huge_pages() {
    local threads=$1 page_kib avail_kib have want spare got
    page_kib=$(awk '$1 == "Hugepagesize:" {print $2}' /proc/meminfo 2>/dev/null)
    if [[ ${page_kib:-2048} != 2048 ]]; then
        say "huge pages are ${page_kib} kB here, not 2048 kB: arenas use ordinary pages"
        return
    fi
    have=$(sysctl -n vm.nr_hugepages 2>/dev/null) || have=
    [[ $have =~ ^[0-9]+$ ]] || have=0
    want=$((threads * 4))
    ((have >= want)) && return
    avail_kib=$(awk '$1 == "MemAvailable:" {print $2}' /proc/meminfo 2>/dev/null)
    spare=$(((${avail_kib:-0} - 1572864) / 2048))
    ((spare < 0)) && spare=0
    ((want > have + spare)) && want=$((have + spare))
    if ((want > have)); then
        sysctl -q -w "vm.nr_hugepages=$want" >/dev/null 2>&1
        got=$(sysctl -n vm.nr_hugepages 2>/dev/null) || got=
        [[ $got =~ ^[0-9]+$ ]] || got=$have
    else
        got=$have
    fi
    if ((got >= threads * 4)); then
        say "reserved $got huge pages for $threads thread(s)"
    else
        say "$got huge pages for $threads thread(s), $((threads * 4)) wanted: the other arenas use ordinary pages"
    fi
}

if [[ ! -s $CUSTOM_CONFIG_FILENAME ]]; then
    say "no configuration in $CUSTOM_CONFIG_FILENAME: set the payout address (wallet) and the pool in the flight sheet; the miner waits for it"
    # Waiting rather than exiting keeps the farm OS from restarting this in a loop; applying a
    # corrected flight sheet restarts the miner anyway.
    exec sleep 2147483647
fi

mapfile -t args <"$CUSTOM_CONFIG_FILENAME"
reserve_huge_pages "$(thread_estimate "${args[@]}")"

# The stats file comes last so the flight sheet's options cannot move it away from h-stats.sh.
./mintrakel "${args[@]}" --stats-file "$MINTRAKEL_STATS_FILE" 2>&1 | tee -a "$log"
exit "${PIPESTATUS[0]}"
