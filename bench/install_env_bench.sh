#!/usr/bin/env bash
# One run, the installer's figures that matter on a router:
#   1. a full install of a 256 MiB package against the compute floor (decrypt and digest in memory), and
#      the installer's peak RSS: bench/install_bench.sh on the host (tmpfs; it stops at the
#      environment flag step, since the host has no flash);
#   2. the environment update, on real MTD flash in the device harness: setEnvValue
#      ("fwupdate_flag", "1") timed inside one process (bench/env_update_bench.cpp), and the
#      same update as the command `qvenv --type 2 set fwupdate_flag 1`, program start included.
#      The guest's boot is not in these figures. The guest runs under QEMU's TCG emulation, so
#      its times are those of an emulated CPU over mtdram, not of a router's NOR flash.
#
#   bench/install_env_bench.sh [SIZE_MIB] [ROUNDS]     (default 256 MiB, 20 rounds)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
size=${1:-256}
rounds=${2:-20}

[ -f build/build.ninja ] || cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j 2 --target qvinstaller qvpack qvenv compute_floor qv_no_sleep env_update_bench \
  >/dev/null

echo "== 1. install of a $size MiB package on the host (bench/install_bench.sh)"
bench/install_bench.sh "$size"

echo
echo "== 2. environment update on /dev/mtd0 in the device harness ($rounds rounds, boot excluded)"
work=$(mktemp -d "$root/build/envbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
scripts/demo.d/make-env-flash "$work"
cat >"$work/guest" <<EOF
set -eu
cd "$root"
printf 'setEnvValue in process:        '
build/bin/env_update_bench $rounds
for i in \$(seq $rounds); do
  start=\$(date +%s%N)
  build/bin/qvenv --type 2 set fwupdate_flag 1
  end=\$(date +%s%N)
  echo \$(( (end - start) / 1000 ))
done | sort -n | awk '{ t[NR] = \$1 / 1000 } END {
  printf "qvenv --type 2 set (command):  min %.1f median %.1f max %.1f rounds %d\n", t[1], t[int(NR / 2) + 1], t[NR], NR }'
# Both copies must still hold a valid record with the flag set.
build/bin/qvenv --type 2 print fwupdate_flag >/dev/null
EOF
tests/vm/run --mtd0-in "$work/flash.bin" -- bash "$work/guest"
echo "(times in milliseconds)"
