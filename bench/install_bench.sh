#!/usr/bin/env bash
# Installs large packages and reports the installer's time against the compute floor measured
# in the same run, and its peak memory.
#
#   bench/install_bench.sh [SIZE_MIB]...      (default: 32 256)
#
# Environment:
#   QV_BENCH_BUILD     build directory of the programs measured (default build)
#   QV_BENCH_RUNS      runs per figure, the median is reported (default 5)
#   QV_BENCH_EMULATOR  runs the measured programs under this user-mode emulator (qemu-arm for
#                      an armhf build): its times are those of an emulated CPU, only the ratios
#                      mean something, and the peak RSS is the emulator's
#   QV_BENCH_SHA256    1: the floor adds SHA-256 of the stored bytes, as a signed package does
#   QV_BENCH_SIGNED    1: the package is signed (a release key made with openssl for the run)
#                      and each run installs it twice, with its public key in
#                      /etc/kivra/trusted-keys (signed) and without the directory (unsigned:
#                      the same package, the two signature files ignored); the floor adds
#                      SHA-256. Reported beside the floor: signed / unsigned and signed / floor
#
# For each size a package is built with the host's qvpack (build/, a random rootfs.sqfs and an
# 8 MiB uImage with the U-Boot header, both encrypted) and installed by qvinstaller inside the
# sandbox (private /tmp and /mnt on tmpfs, so no disk enters the figures), with the status
# pauses skipped by the sleep stand-in the tests preload. Each run installs a fresh copy of the
# package (the installer deletes what it installed); the runs alternate with runs of
# bench/compute_floor over the same number of image bytes, so load from other processes weighs
# on both alike. Reported, medians of the runs:
#   - peak RSS of the installer (target: under 8 MiB, the same for every package size);
#   - the install's wall and CPU (user + system) time beside the floor's, and their ratios
#     (target: wall ratio within 1.1; on a loaded machine the CPU ratio is the steadier one).
# The host has no flash, so each run ends at the environment flag step (exit status 1 with
# "VPD update failed, input error"), after every image has been installed and verified.
# Needs GNU time (Debian package "time") and a build with the benchmarks and the tests
# (cmake -S . -B build -G Ninja -DQV_BUILD_BENCH=ON && cmake --build build).
set -euo pipefail
TIMEFORMAT='%3R %3U %3S'
cd "$(dirname "$0")/.."
root=$(pwd)

if [ -z "${QV_SANDBOX:-}" ]; then
  exec scripts/sandbox -- "$0" "$@"
fi

build=$root/${QV_BENCH_BUILD:-build}
runs=${QV_BENCH_RUNS:-5}
emulator=${QV_BENCH_EMULATOR:-}
signed=${QV_BENCH_SIGNED:-0}
floor_flags=()
[ "${QV_BENCH_SHA256:-0}" = 1 ] || [ "$signed" = 1 ] && floor_flags=(--sha256)
pack=$root/build/bin/qvpack
for tool in "$pack" "$build/bin/qvinstaller" "$build/bin/compute_floor" "$build/lib/libqv_no_sleep.so"; do
  [ -e "$tool" ] || { echo "install_bench: $tool is missing; build first" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "install_bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }

# The stand-in goes to the measured program only: under the emulator, to the guest.
run_env=(env "LD_PRELOAD=$build/lib/libqv_no_sleep.so")
emu=()
if [ -n "$emulator" ]; then
  run_env=()
  emu=("$emulator" -E "LD_PRELOAD=$build/lib/libqv_no_sleep.so")
fi

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(32 256)
version=9.1.0
work=/tmp/bench
keys=/tmp/bench-keys
trusted=/etc/kivra/trusted-keys

sign_args=()
if [ "$signed" = 1 ]; then
  # /etc becomes a writable copy in the sandbox's namespace: the unsigned runs move the
  # directory aside, so the device holds no keys for them.
  mkdir -p "$keys"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$keys/release.key" 2>/dev/null
  openssl pkey -in "$keys/release.key" -pubout -out "$keys/release.pem"
  scripts/provision-key "$keys/release.pem"
  mv "$trusted" "$trusted.aside"
  sign_args=(--sign "$keys/release.key")
fi

# One install of a fresh copy of PKG; appends "wall user system rss" to OUT.
install_once() { # pkg out
  rm -rf /mnt/hda1 /tmp/kivrainstaller.lck "$work/run"
  mkdir -p /mnt/hda1/Kvtemp
  cp -a "$1" "$work/run"
  # The radio module check is skipped: the package names no radio-module image.
  touch /tmp/rmupskip
  # Bash's own timing, to the millisecond (GNU time's is to the hundredth); GNU time adds
  # the peak RSS.
  set +e
  { time KIVRA_PRODUCT=VK30 /usr/bin/time -f '%M' -o "$work/rss" \
    "${run_env[@]}" "${emu[@]}" "$build/bin/qvinstaller" "$work/run" >"$work/console" 2>&1; } \
    2>"$work/time"
  status=$?
  set -e
  if ! grep -q '^  - KivraInstaller::install: Set environment flag $' "$work/console"; then
    echo "install_bench: the run did not get past the image installation (status $status):" >&2
    cat "$work/console" >&2
    exit 1
  fi
  # GNU time puts "Command exited with non-zero status N" first when the run fails.
  echo "$(tail -n 1 "$work/time") $(tail -n 1 "$work/rss")" >>"$2"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); medians of $runs runs${emulator:+; under $emulator}"
if [ "$signed" = 1 ]; then
  printf '%-9s %-10s %-18s %-18s %-18s %-13s %s\n' "package" "peak RSS" "signed wall/CPU" \
    "unsigned wall/CPU" "floor wall/CPU" "signed/unsig" "signed/floor (wall, CPU)"
else
  printf '%-9s %-10s %-18s %-18s %-11s %s\n' "package" "peak RSS" "install wall/CPU" \
    "floor wall/CPU" "ratio wall" "ratio CPU"
fi
for size in "${sizes[@]}"; do
  rm -rf "$work" /mnt/hda1 /tmp/kivrainstaller.lck
  mkdir -p "$work/src"
  { printf '\x27\x05\x19\x56'; head -c $((8 * 1024 * 1024 - 4)) /dev/urandom; } >"$work/src/uImage"
  head -c $(((size - 8) * 1024 * 1024)) /dev/urandom >"$work/src/rootfs.sqfs"
  "$pack" create "$work/pkg" --version "$version" --product-type BIRCH ${sign_args[@]+"${sign_args[@]}"} \
    "$work/src/uImage" "$work/src/rootfs.sqfs" >/dev/null
  rm -rf "$work/src"
  bytes=$((size * 1024 * 1024))

  : >"$work/install" && : >"$work/floor" && : >"$work/unsigned"
  for _ in $(seq "$runs"); do
    "${emu[@]}" "$build/bin/compute_floor" "$bytes" "${floor_flags[@]}" >>"$work/floor"
    if [ "$signed" = 1 ]; then
      install_once "$work/pkg" "$work/unsigned"
      mv "$trusted.aside" "$trusted"
      install_once "$work/pkg" "$work/install"
      mv "$trusted" "$trusted.aside"
    else
      install_once "$work/pkg" "$work/install"
    fi
  done
  rss_kib=$(awk '{ print $4 }' "$work/install" | sort -n | tail -n 1)
  iwall=$(awk '{ print $1 }' "$work/install" | median)
  icpu=$(awk '{ print $2 + $3 }' "$work/install" | median)
  fwall=$(awk '{ print $1 }' "$work/floor" | median)
  fcpu=$(awk '{ print $2 }' "$work/floor" | median)
  if [ "$signed" = 1 ]; then
    uwall=$(awk '{ print $1 }' "$work/unsigned" | median)
    ucpu=$(awk '{ print $2 + $3 }' "$work/unsigned" | median)
    awk -v size="$size" -v rss="$rss_kib" -v iw="$iwall" -v ic="$icpu" -v uw="$uwall" -v uc="$ucpu" \
      -v fw="$fwall" -v fc="$fcpu" 'BEGIN {
      printf "%-9s %-10s %-18s %-18s %-18s %-13s %.3f, %.3f\n", size " MiB", sprintf("%.2f MiB", rss / 1024),
        sprintf("%.2f / %.2f s", iw, ic), sprintf("%.2f / %.2f s", uw, uc), sprintf("%.2f / %.2f s", fw, fc),
        sprintf("%.3f, %.3f", iw / uw, ic / uc), iw / fw, ic / fc
    }'
  else
    awk -v size="$size" -v rss="$rss_kib" -v iw="$iwall" -v ic="$icpu" -v fw="$fwall" -v fc="$fcpu" 'BEGIN {
      printf "%-9s %-10s %-18s %-18s %-11.3f %.3f\n", size " MiB", sprintf("%.2f MiB", rss / 1024),
        sprintf("%.2f / %.2f s", iw, ic), sprintf("%.2f / %.2f s", fw, fc), iw / fw, ic / fc
    }'
  fi
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "targets: peak RSS under 8 MiB at every size (the largest of the runs); install within 1.1 times the floor"
