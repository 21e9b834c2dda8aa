# The shell tests' common ground, sourced by each: a tally of checks and a poll.
# Set CHECKS_KEEP_STDERR=1 before sourcing to let a check's error output through (the package
# contract tests want to see why a script complained); by default a check is silent.

passed=0 failed=0

# check <description> <command...>: runs the command, counts it passed or failed by its status,
# and names the failed ones on stderr.
check() {
    local what=$1
    shift
    local ok=0
    if [[ ${CHECKS_KEEP_STDERR:-0} == 1 ]]; then
        "$@" >/dev/null && ok=1
    else
        "$@" >/dev/null 2>&1 && ok=1
    fi
    if ((ok)); then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $what" >&2
    fi
}

contains() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }

# wait_for <seconds> <command...>: polls the command every 50 ms until it succeeds (status 0) or
# the seconds pass (status 1).
wait_for() {
    local seconds=$1 i
    shift
    for ((i = 0; i < seconds * 20; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    return 1
}

# wait_lines <file> <text> <count> <seconds>: waits until the file has <count> lines holding
# <text>, or the seconds pass.
wait_lines() {
    local file=$1 text=$2 count=$3 seconds=$4 i n
    for ((i = 0; i < seconds * 10; i++)); do
        # The file may not exist yet: its writer starts in the background.
        n=$(grep -cF -- "$text" "$file" 2>/dev/null) || n=${n:-0}
        ((${n:-0} >= count)) && return 0
        sleep 0.1
    done
    return 1
}
