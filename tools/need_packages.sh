#!/usr/bin/env bash
# usage: need_packages.sh demo|test|ci
# Makes sure the Debian packages that a use of this tree needs (tools/debian-packages.txt: that
# use's and those of the uses before it) are installed. As root it installs the missing ones with
# apt-get; otherwise it prints the one apt-get line to run and fails, before anything is built.
# Without dpkg (a system other than Debian or its derivatives) it checks nothing: CMake's
# configure step names what it cannot find.
set -euo pipefail
use=${1:-}
case $use in
    demo) uses=' demo ' what='make demo' ;;
    test) uses=' demo test ' what='make test' ;;
    ci) uses=' demo test ci ' what='.ci/run' ;;
    *)
        echo "usage: need_packages.sh demo|test|ci" >&2
        exit 2
        ;;
esac
command -v dpkg-query >/dev/null || exit 0

wanted=()
while read -r first package _; do
    [[ -z $first || $first == \#* ]] && continue
    [[ $uses == *" $first "* ]] && wanted+=("$package")
done <"$(dirname "${BASH_SOURCE[0]}")/debian-packages.txt"

# A package counts only when installed: one removed with its configuration kept does not.
installed=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${wanted[@]}" 2>/dev/null || true)
missing=()
for package in "${wanted[@]}"; do
    grep -qx "$package installed" <<<"$installed" || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) != 0 ]]; then
    echo "missing Debian packages for $what; install them as root, then run it again:" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "installing the Debian packages $what needs: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Package lists may be missing or stale (a fresh root has none): read them once, then try again.
apt-get install -y "${missing[@]}" || { apt-get update && apt-get install -y "${missing[@]}"; }
