#!/usr/bin/env bash
# Builds the guest's initramfs from this build's programs and runs the lane:
#   run-lane.sh VM_LANE OUT_DIR PROGRAM... -- SUITE:SECONDS...
# The kernel is Debian's newest under /boot (package linux-image-amd64),
# whose modules the initramfs takes.
set -euo pipefail
lane=$1 out=$2
shift 2
kernel=$(ls -v /boot/vmlinuz-* 2>/dev/null | tail -n 1 || true)
[ -n "$kernel" ] || { echo "no kernel under /boot: .ci/deps installs linux-image-amd64" >&2; exit 1; }
[ -r "$kernel" ] || { echo "$kernel is not readable by this user" >&2; exit 1; }
version=${kernel#/boot/vmlinuz-}
rm -rf "$out" && mkdir -p "$out"
"$(dirname "$0")/make-initrd.sh" "$out" "$version" "$@"
exec "$lane" run --kernel "$kernel" --initrd "$out/initrd.gz" --out "$out/results" --limit 780
