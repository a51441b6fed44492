#!/usr/bin/env bash
# Installs large packages and reports the installer's peak memory and time.
#
#   bench/install_bench.sh [SIZE_MIB]...      (default: 32 256)
#
# For each size a package is built with qvpack (a random rootfs.sqfs and an 8 MiB uImage with
# the U-Boot header, both encrypted) and installed by qvinstaller inside the sandbox (private
# /tmp and /mnt on tmpfs, so the disk does not enter the figures). Reported:
#   - peak RSS of the installer (target: under 8 MiB, the same for every package size);
#   - the installer's time less the fixed 4 s of status pauses, beside the time of the two
#     passes no installation can avoid, decrypting each image and computing its digest, done
#     alone by bench/decrypt_digest_pass (target: within 1.15 times that).
# The host has no flash, so each run ends at the environment flag step (exit status 1 with
# "VPD update failed, input error"), after every image has been installed and verified.
# Needs a build in build/ (cmake -S . -B build -G Ninja && cmake --build build) and GNU time
# (Debian package "time").
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ -z "${QV_SANDBOX:-}" ]; then
  exec scripts/sandbox -- "$0" "$@"
fi

bin=$root/build/bin
for tool in qvpack qvinstaller decrypt_digest_pass; do
  [ -x "$bin/$tool" ] || { echo "install_bench: $bin/$tool is missing; build first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "install_bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(32 256)
version=9.1.0
work=/tmp/bench
pauses=4

printf '%-9s %-12s %-14s %-14s %-14s %s\n' "package" "peak RSS" "install" "install - 4 s" \
  "decrypt+MD5" "ratio"
for size in "${sizes[@]}"; do
  rm -rf "$work" /mnt/hda1 /tmp/kivrainstaller.lck
  mkdir -p "$work/src" /mnt/hda1/Kvtemp
  { printf '\x27\x05\x19\x56'; head -c $((8 * 1024 * 1024 - 4)) /dev/urandom; } >"$work/src/uImage"
  head -c $(((size - 8) * 1024 * 1024)) /dev/urandom >"$work/src/rootfs.sqfs"
  "$bin/qvpack" create "$work/pkg" --version "$version" --product-type BIRCH \
    "$work/src/uImage" "$work/src/rootfs.sqfs" >/dev/null
  rm -rf "$work/src"

  # The two passes alone, best of two, into a directory of the same file system.
  best=""
  for _ in 1 2; do
    mkdir -p "$work/plain"
    t=$("$bin/decrypt_digest_pass" "$version" "$work/pkg/uImage" "$work/plain/uImage" \
      "$work/pkg/rootfs.sqfs" "$work/plain/rootfs.sqfs" | head -n 1)
    rm -rf "$work/plain"
    best=$(awk -v a="$t" -v b="${best:-$t}" 'BEGIN { print (a < b ? a : b) }')
  done

  # The radio module check is skipped: the package names no radio-module image.
  touch /tmp/rmupskip
  set +e
  KIVRA_PRODUCT=VK30 /usr/bin/time -f '%e %M' -o "$work/time" \
    "$bin/qvinstaller" "$work/pkg" >"$work/console" 2>&1
  status=$?
  set -e
  if ! grep -q '^  - KivraInstaller::install: Set environment flag $' "$work/console"; then
    echo "install_bench: the run did not get past the image installation (status $status):" >&2
    cat "$work/console" >&2
    exit 1
  fi
  # GNU time puts "Command exited with non-zero status N" first when the run fails.
  read -r elapsed rss_kib < <(tail -n 1 "$work/time")
  awk -v size="$size" -v rss="$rss_kib" -v e="$elapsed" -v p="$pauses" -v base="$best" 'BEGIN {
    work = e - p
    printf "%-9s %-12s %-14s %-14s %-14s %.3f\n", size " MiB", sprintf("%.2f MiB", rss / 1024),
      sprintf("%.2f s", e), sprintf("%.2f s", work), sprintf("%.2f s", base), work / base
  }'
done
echo "targets: peak RSS under 8 MiB at every size; ratio (install - 4 s) / (decrypt+MD5) <= 1.15"
