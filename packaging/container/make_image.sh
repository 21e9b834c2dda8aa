#!/usr/bin/env bash
# Builds the container image from the static miner binary and adds it to a release folder:
#   <out>/mintrakel-<version>-oci.tar   the image as one archive that both `podman load` and
#                                       `docker load` read (an OCI image layout plus the
#                                       manifest.json of Docker's loader)
#   <out>/SHA256SUMS                    gets the archive's sum; the lines already there stay
# usage: make_image.sh <version> <static mintrakel binary> <source dir> <out dir>
# Needs podman (any runtime: the build runs no command in the image) and the CA bundle of
# Debian's ca-certificates. The image is built in a
# private, temporary podman store, so nothing is left in the caller's image list.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
version=$1 binary=$2 src=$3 out=$4

for tool in podman jq tar sha256sum; do
    command -v "$tool" >/dev/null || { echo "make_image: $tool is missing" >&2; exit 1; }
done
if file "$binary" 2>/dev/null | grep -q 'dynamically linked'; then
    # The image has no libraries at all: a dynamic binary would not start in it.
    echo "make_image: $binary is not static" >&2
    exit 1
fi

# Every date in the image is the last commit's, so the same tree gives the same image.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)}
created=$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)
revision=$(git -C "$src" rev-parse HEAD 2>/dev/null || echo unknown)
name=mintrakel:$version
archive=mintrakel-$version-oci.tar

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export CONTAINERS_CONF=$here/containers.conf
podman=(podman --root "$work/store" --runroot "$work/run" --storage-driver vfs)

# The image's whole file tree, with its modes; owner root, as COPY makes it.
rootfs=$work/context/rootfs
install -d -m 0755 "$rootfs/usr/local/bin" "$rootfs/usr/local/share/mintrakel"
install -m 0755 "$binary" "$rootfs/usr/local/bin/mintrakel"
install -m 0644 "$src/tests/data/vectors.txt" "$rootfs/usr/local/share/mintrakel/vectors.txt"
# The CA bundle that TLS pools' certificates are verified against, at the path the miner looks
# first (Debian's ca-certificates on the build machine).
ca_bundle=/etc/ssl/certs/ca-certificates.crt
[[ -r $ca_bundle ]] || { echo "make_image: $ca_bundle is missing (ca-certificates)" >&2; exit 1; }
install -d -m 0755 "$rootfs/etc/ssl/certs"
install -m 0644 "$ca_bundle" "$rootfs/etc/ssl/certs/ca-certificates.crt"

"${podman[@]}" build --quiet --pull=never --timestamp "$epoch" \
    --build-arg VERSION="$version" --build-arg CREATED="$created" \
    --build-arg REVISION="$revision" \
    -t "$name" -f "$here/Containerfile" "$work/context" >/dev/null
"${podman[@]}" save --quiet --format oci-archive -o "$work/oci.tar" "$name"

# Docker's loader reads manifest.json (config and layers as paths in the archive); containerd's
# import takes the name from io.containerd.image.name. The blobs are the OCI layout's own.
layout=$work/layout
mkdir -p "$layout"
tar -C "$layout" -xf "$work/oci.tar"
manifest=$(jq -r '.manifests[0].digest | sub("^sha256:"; "")' "$layout/index.json")
jq --arg name "$name" '[{Config: ("blobs/sha256/" + (.config.digest | sub("^sha256:"; ""))),
        RepoTags: [$name],
        Layers: [.layers[].digest | "blobs/sha256/" + sub("^sha256:"; "")]}]' \
    "$layout/blobs/sha256/$manifest" >"$layout/manifest.json"
jq -c --arg name "docker.io/library/$name" \
    '.manifests[0].annotations["io.containerd.image.name"] = $name' "$layout/index.json" \
    >"$work/index.json"
mv "$work/index.json" "$layout/index.json"

mkdir -p "$out"
# Images of earlier versions would otherwise stay beside the new one.
rm -f "$out"/mintrakel-*-oci.tar
tar -C "$layout" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" \
    --mode=u+rw,go+r,go-w -cf "$out/$archive" oci-layout index.json manifest.json blobs

# The sums of the other archives stay; a sum of an earlier image does not.
sums=$out/SHA256SUMS
touch "$sums"
{
    grep -v ' mintrakel-.*-oci\.tar$' "$sums" || true
    (cd "$out" && sha256sum "$archive")
} >"$work/SHA256SUMS"
mv "$work/SHA256SUMS" "$sums"
chmod 0644 "$sums"
echo "image: $out/$archive ($name, $(du -b "$out/$archive" | cut -f1) bytes), sum in $sums"
