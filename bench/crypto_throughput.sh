#!/usr/bin/env bash
# Measures package decryption and file digest throughput on a 256 MiB file.
#
#   bench/crypto_throughput.sh [BUILD_DIR] [ROUNDS]
#
# Runs in the sandbox (private /tmp on tmpfs, as bench/install_bench.sh), so the decrypted copy
# goes to memory and no disk's write-back enters the figures. The input is made in a private
# temporary directory there, removed at the end. Prints MiB/s figures (medians of the rounds)
# and the two ratios with their targets.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${QV_SANDBOX:-}" ]; then
  exec "$here/../scripts/sandbox" -- "$0" "$@"
fi
build=${1:-$here/../build}
rounds=${2:-5}
bench=$build/bin/crypto_throughput
[ -x "$bench" ] || { echo "crypto_throughput: build it first: cmake --build $build --target crypto_throughput" >&2; exit 2; }

work=$(mktemp -d /tmp/crypto_throughput.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Pseudo-random content (fixed key) so no compression or zero-page shortcut flatters a figure.
# openssl ends on the broken pipe once head has its bytes; only the size counts.
size=$((256 * 1024 * 1024))
{ openssl enc -aes-128-ctr -K 000102030405060708090a0b0c0d0e0f -iv 0 -in /dev/zero 2>/dev/null ||
    true; } | head -c "$size" > "$work/input"
[ "$(stat -c %s "$work/input")" = "$size" ] || { echo "crypto_throughput: cannot make the input" >&2; exit 1; }
"$bench" "$work/input" "$work" "$rounds"
