#!/usr/bin/env bash
# Builds the release archives from one miner binary:
#   <out>/mintrakel-<version>-linux-x64.tar.gz  the portable archive (one folder mintrakel-<version>/)
#   <out>/hiveos/mintrakel-<version>.tar.gz      the HiveOS custom-miner package (one folder mintrakel/)
#   <out>/mmpos/mintrakel-<version>.tar.gz       the mmpOS custom-miner package (one folder mintrakel/)
#   <out>/SHA256SUMS                             the three archives, as `sha256sum -c` reads them
# usage: make_dist.sh <version> <mintrakel binary> <source dir> <out dir>
#        make_dist.sh --stage-hiveos <version> <mintrakel binary> <source dir> <folder>
#        make_dist.sh --stage-mmpos <version> <mintrakel binary> <source dir> <folder>
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The HiveOS folder: binary, manifest with the version filled in, the three h-*.sh scripts.
stage_hiveos() {
    local version=$1 binary=$2 folder=$4
    mkdir -p "$folder"
    install -m 0755 "$binary" "$folder/mintrakel"
    sed "s/@VERSION@/$version/g" "$here/hiveos/h-manifest.conf.in" >"$folder/h-manifest.conf"
    chmod 0644 "$folder/h-manifest.conf"
    install -m 0755 "$here/hiveos/h-config.sh" "$here/hiveos/h-run.sh" "$here/hiveos/h-stats.sh" \
        "$folder/"
}

# The mmpOS folder: binary, mmp-external.conf with the version filled in, mmp-stats.sh.
stage_mmpos() {
    local version=$1 binary=$2 folder=$4
    mkdir -p "$folder"
    install -m 0755 "$binary" "$folder/mintrakel"
    sed "s/@VERSION@/$version/g" "$here/mmpos/mmp-external.conf.in" >"$folder/mmp-external.conf"
    chmod 0644 "$folder/mmp-external.conf"
    install -m 0755 "$here/mmpos/mmp-stats.sh" "$folder/"
}

# Archives that list their folder first and hold the same bytes from the same inputs: sorted
# names, root as owner, every file dated at the last commit.
pack() {
    local archive=$1 parent=$2 folder=$3
    tar -C "$parent" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" \
        -cf - "$folder" | gzip -n -9 >"$archive"
}

case ${1:-} in
    --stage-hiveos)
        shift
        stage_hiveos "$@"
        exit 0
        ;;
    --stage-mmpos)
        shift
        stage_mmpos "$@"
        exit 0
        ;;
esac

version=$1 binary=$2 src=$3 out=$4
# HiveOS reads the version as the text after the last "-" of the package name.
if [[ $version == *-* || -z $version ]]; then
    echo "make_dist: version '$version' must be non-empty and hold no '-'" >&2
    exit 1
fi

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

top="mintrakel-$version"
mkdir -p "$work/portable/$top"
install -m 0755 "$binary" "$work/portable/$top/mintrakel"
install -m 0644 "$src/README.md" "$work/portable/$top/README.md"
install -m 0644 "$src/tests/data/vectors.txt" "$work/portable/$top/vectors.txt"
install -m 0644 "$here/mintrakel.service" "$work/portable/$top/mintrakel.service"
sed "s/@VERSION@/$version/g" "$here/INSTALL.in" >"$work/portable/$top/INSTALL"
chmod 0644 "$work/portable/$top/INSTALL"

stage_hiveos "$version" "$binary" "$src" "$work/hiveos/mintrakel"
stage_mmpos "$version" "$binary" "$src" "$work/mmpos/mintrakel"

mkdir -p "$out/hiveos" "$out/mmpos"
# Archives of earlier versions would otherwise stay beside the new ones; so would a container
# image of an earlier binary, which SHA256SUMS no longer lists (make_image.sh adds it back).
rm -f "$out"/mintrakel-*-linux-x64.tar.gz "$out"/hiveos/mintrakel-*.tar.gz \
    "$out"/mmpos/mintrakel-*.tar.gz "$out/SHA256SUMS" "$out"/mintrakel-*-oci.tar
pack "$out/$top-linux-x64.tar.gz" "$work/portable" "$top"
pack "$out/hiveos/mintrakel-$version.tar.gz" "$work/hiveos" mintrakel
pack "$out/mmpos/mintrakel-$version.tar.gz" "$work/mmpos" mintrakel
(cd "$out" && sha256sum "$top-linux-x64.tar.gz" "hiveos/mintrakel-$version.tar.gz" \
    "mmpos/mintrakel-$version.tar.gz" >SHA256SUMS)
echo "dist: $out/{$top-linux-x64.tar.gz,hiveos/mintrakel-$version.tar.gz,mmpos/mintrakel-$version.tar.gz,SHA256SUMS}"
