#!/usr/bin/env bash
# Sourced by HiveOS before every start of the miner, after h-manifest.conf. Turns the flight
# sheet into the miner's arguments and writes them to CUSTOM_CONFIG_FILENAME, one per line, so
# no blank, quote or glob character in them is ever re-read by a shell:
#   CUSTOM_URL          pool "host:port", with or without stratum+tcp:// or tcp://, or a TLS pool
#                       stratum+ssl://, stratum+tls://, ssl:// or tls:// host:port; several URLs
#                       separated by any white space (blanks, tabs, line breaks) become failover
#                       pools, tried in that order. A TLS pool's certificate is pinned on its own
#                       URL: stratum+ssl://host:port#<sha256> becomes -o stratum+ssl://host:port
#                       --tls-fingerprint <sha256>, so the pin belongs to that pool whatever its
#                       place in the list
#   CUSTOM_TEMPLATE     payout address, or "address.worker"
#   WORKER_NAME         the worker when the template names none
#   CUSTOM_USER_CONFIG  further miner options, passed on as they are (e.g. -t 4 --cpus 0-3);
#                       HiveOS keeps this field's line breaks, and every line counts. A
#                       --tls-fingerprint here pins the one TLS pool of the list (moved right
#                       after its -o); with several TLS pools it must be written on a URL
# Without a payout address no configuration is written (an old one is removed) and the reason
# goes to the console and the miner's log; h-run.sh then waits instead of starting the miner.

mintrakel_config() {
    local url pin address worker template word i tls_count extra_pin
    local -a urls pools args extra words

    # The pools, in failover order, plain ones without a scheme, TLS ones as the miner writes
    # them. read stops at
    # the first line break unless told to read up to a NUL, which never comes: every line. A
    # carriage return (a field pasted from a Windows editor) separates words like a blank.
    IFS=$' \t\r\n' read -r -d '' -a urls <<<"${CUSTOM_URL:-}"
    # Word splitting only, over every line: a "*" in the user's options stays a "*". A
    # --tls-fingerprint among them is taken out, to go after the TLS pool it pins.
    IFS=$' \t\r\n' read -r -d '' -a words <<<"${CUSTOM_USER_CONFIG:-}"
    extra=()
    extra_pin=
    for ((i = 0; i < ${#words[@]}; i++)); do
        if [[ ${words[i]} == --tls-fingerprint ]] && ((i + 1 < ${#words[@]})); then
            extra_pin=${words[i + 1]}
            i=$((i + 1))
        else
            extra+=("${words[i]}")
        fi
    done

    pools=()
    tls_count=0
    for url in "${urls[@]}"; do
        pin=
        if [[ $url == *'#'* ]]; then
            pin=${url#*#}
            url=${url%%#*}
            # A blank on either side of the '#' would split a pinned pool into an unpinned one
            # and a pool named by its pin (or one with no name).
            if [[ -z $url || -z $pin ]]; then
                mintrakel_config_error "pool URL '$url#$pin': a pin goes right after its TLS pool's URL, without blanks: stratum+ssl://host:port#<sha256>"
                return 1
            fi
        fi
        url=${url#stratum+tcp://}
        url=${url#tcp://}
        url=${url%/}
        [[ $url == ssl://* || $url == tls://* ]] && url=stratum+$url
        if [[ $url == *://* && $url != stratum+ssl://* && $url != stratum+tls://* ]]; then
            mintrakel_config_error "pool URL '$url': use stratum+tcp://, stratum+ssl://, stratum+tls:// or host:port"
            return 1
        fi
        pools+=(-o "$url")
        if [[ $url == stratum+ssl://* || $url == stratum+tls://* ]]; then
            tls_count=$((tls_count + 1))
        elif [[ -n $pin ]]; then
            mintrakel_config_error "pool URL '$url#$pin': a certificate pin belongs to a TLS pool (stratum+ssl://host:port#<sha256>)"
            return 1
        fi
        [[ -n $pin ]] && pools+=(--tls-fingerprint "$pin")
    done
    if [[ -n $extra_pin ]]; then
        if ((tls_count != 1)); then
            mintrakel_config_error "--tls-fingerprint in the extra config pins the one TLS pool, and the pool URLs have $tls_count: write the pin on its pool's URL as stratum+ssl://host:port#<sha256>"
            return 1
        fi
        for ((i = 0; i < ${#pools[@]}; i += 2)); do
            if [[ ${pools[i + 1]} == stratum+ssl://* || ${pools[i + 1]} == stratum+tls://* ]]; then
                # Two pins for one pool: the miner would keep the last and drop the other unsaid.
                if [[ ${pools[i + 2]:-} == --tls-fingerprint ]]; then
                    mintrakel_config_error "the TLS pool ${pools[i + 1]} is pinned on its URL and by --tls-fingerprint in the extra config: keep one"
                    return 1
                fi
                pools=("${pools[@]:0:i+2}" --tls-fingerprint "$extra_pin" "${pools[@]:i+2}")
                break
            fi
        done
    fi

    # address[.worker]; HiveOS normally fills %WORKER_NAME% in itself, but a template copied
    # from elsewhere may still hold it.
    template=${CUSTOM_TEMPLATE:-}
    template=${template//%WORKER_NAME%/${WORKER_NAME:-}}
    template=${template//[[:space:]]/}
    address=${template%%.*}
    worker=
    [[ $template == *.* ]] && worker=${template#*.}
    [[ -z $worker ]] && worker=${WORKER_NAME:-}
    worker=${worker//[[:space:]]/}
    if [[ -z $address ]]; then
        mintrakel_config_error "no payout address: put your qel1... address in the flight sheet's wallet (CUSTOM_TEMPLATE, address or address.worker)"
        return 1
    fi

    args=("${pools[@]}" -u "$address")
    [[ -n $worker ]] && args+=(-w "$worker")
    args+=("${extra[@]}")

    if [[ -z ${CUSTOM_CONFIG_FILENAME:-} ]]; then
        echo "mintrakel: CUSTOM_CONFIG_FILENAME is not set (h-manifest.conf not loaded)" >&2
        return 1
    fi
    mkdir -p "$(dirname "$CUSTOM_CONFIG_FILENAME")" || return 1
    for word in "${args[@]}"; do
        printf '%s\n' "$word"
    done >"$CUSTOM_CONFIG_FILENAME"
}

# Reports a flight-sheet mistake where the farm's user looks: the console and the miner's log.
# The stale configuration goes, so the miner never starts with the previous sheet's settings.
mintrakel_config_error() {
    local message="mintrakel: $1"
    echo "$message" >&2
    [[ -n ${CUSTOM_CONFIG_FILENAME:-} ]] && rm -f "$CUSTOM_CONFIG_FILENAME"
    if [[ -n ${CUSTOM_LOG_BASENAME:-} ]] && mkdir -p "$(dirname "$CUSTOM_LOG_BASENAME")"; then
        echo "$message" >>"$CUSTOM_LOG_BASENAME.log"
    fi
}

mintrakel_config
