# The 32-bit ARM guest of tests/vm/run (--arch armhf), sourced by it after its options are
# parsed; it runs the command and exits the harness itself.
#
# The router's own architecture: qemu-system-arm's virt machine with a Cortex-A15 under TCG,
# booting Debian's armhf kernel (the armmp-lpae flavour) and its modules. Neither the kernel
# nor the guest's user space is installed on the host: their Debian packages are fetched with
# apt-get download and unpacked into build/vm/armhf/ of this checkout once (again when the
# package list or the way it is unpacked changes; remove that directory for a newer kernel).
#
# In the guest:
#   /dev/mtd0   nandsim, a small-page NAND (32 MiB, 512-byte pages, 16 KiB erase blocks):
#               Debian's armhf kernel builds neither mtdram nor block2mtd, phram or the CFI
#               drivers, so there is no NOR-like device. --mtd0-in seeds its first bytes (a
#               multiple of 512, at most 32 MiB), --mtd0-out saves the whole device.
#               --nandsim PARAMS replace the geometry (the device is then what they make).
#   loop, cdrom and isofs are loaded; device nodes come from devtmpfs.
# The command runs as root, chrooted into an armhf root file system unpacked from Debian's
# armhf packages (C and C++ runtime, LibTomCrypt, bash, dash as /bin/sh, coreutils, sed, grep,
# busybox for the other usual tools, xorriso, mkimage, unsquashfs, dtc; read-only), with the
# guest's /dev, /proc and /sys, fresh tmpfs on /tmp and /mnt, this checkout writable at its
# own path, in a mount namespace of its own, and with:
#   QV_DEVICE_HARNESS=1
#   QV_TEST_EMULATOR empty: the guest runs ARM programs natively
#   QV_BOOT_NANDSIM: the nandsim parameters of /dev/mtd0, so that a test which loads nandsim
#                    with its own geometry can bring the boot flash back afterwards (erased)
#   QV_POWER_CUT_SWEEP=thin: the power-cut tests sweep fewer cut points on this slower guest
# Everything else (output, exit status, 124, 125, QV_VM_TIMEOUT, QV_VM_BOOT_TIMEOUT) is as in
# the x86-64 guest.

# From tests/vm/run: checkout, mtd0_in, mtd0_out, use_nandsim, nandsim, timeout_s, want_kvm,
# keep, die, and the command in "$@".
# shellcheck disable=SC2154

armhf_kernel_flavour=armmp-lpae
# The small-page NAND of the router's boot flash: the environment's two 64 KiB copies at
# 0xC0000 and 0xD0000 each span four erase blocks and never share one.
armhf_boot_nand="first_id_byte=0xec second_id_byte=0x75"
armhf_mtd0_max=$((32 * 1024 * 1024))

# What the guest's user space is made of; apt resolves their dependencies. Packages that only
# serve dpkg's own bookkeeping are left out (armhf_unneeded).
armhf_root_packages=(libc6 libgcc-s1 libstdc++6 libtomcrypt1 busybox-static bash dash
  coreutils sed grep xorriso u-boot-tools squashfs-tools device-tree-compiler)
armhf_unneeded=" base-files debianutils dpkg install-info gawk mawk original-awk tar readline-common "

armhf_die() { die "armhf: $*"; }

armhf_apt() { # apt-get arguments (as root, or through sudo)
  local sudo=()
  [ "$(id -u)" = 0 ] || sudo=(sudo -n)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 "$@"
}

armhf_host_packages() {
  # Naming an armhf package makes install-deps add the architecture to apt first.
  "$checkout/scripts/install-deps" qemu-system-arm qemu-user cpio kmod binutils libc6:armhf >&2 ||
    return 1
  apt-cache show "linux-image-$armhf_kernel_flavour:armhf" >/dev/null 2>&1 || armhf_apt update -qq >&2
}

# The versioned kernel package behind Debian's meta package, for example
# linux-image-6.1.0-57-armmp-lpae.
armhf_kernel_package() {
  apt-cache depends "linux-image-$armhf_kernel_flavour:armhf" 2>/dev/null |
    sed -n "s/^ *Depends: \(linux-image-[0-9][^:]*-$armhf_kernel_flavour\)\(:armhf\)\{0,1\}$/\1/p" |
    head -n 1
}

# Every armhf package the guest's user space needs: the list above and what it depends on.
armhf_root_closure() {
  local p
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "${armhf_root_packages[@]/%/:armhf}" 2>/dev/null |
    sed -n 's/^\([a-z0-9][a-z0-9.+-]*\):armhf$/\1/p' | sort -u |
    while read -r p; do
      case "$armhf_unneeded" in *" $p "*) ;; *) printf '%s\n' "$p" ;; esac
    done
}

# Unpacks the kernel package (image and modules) and the user space into the cache.
armhf_build_cache() { # cache dir, kernel package
  local dir=$1 kpkg=$2 stage debs p f lib missing
  stage=$(mktemp -d "$dir.stage.XXXXXX") || return 1
  debs=$stage/debs
  mkdir -p "$debs" "$stage/root" || return 1
  chmod 0755 "$stage" "$stage/root"
  echo "tests/vm/run: fetching $kpkg:armhf and the guest's armhf user space" >&2
  mapfile -t closure < <(armhf_root_closure)
  [ ${#closure[@]} -gt 0 ] || { echo "tests/vm/run: apt knows no armhf packages" >&2; return 1; }
  # apt-get download writes as the _apt user where it can; a directory it cannot enter only
  # costs a warning.
  (cd "$debs" && apt-get download "$kpkg:armhf" "${closure[@]/%/:armhf}" 2>&1 >/dev/null |
    grep -v '^W: Download is performed unsandboxed' >&2; exit "${PIPESTATUS[0]}") || return 1
  for f in "$debs"/*.deb; do
    dpkg-deb -x "$f" "$stage/root" || return 1
  done
  local kver
  kver=$(ls "$stage/root/lib/modules" 2>/dev/null | head -n 1)
  [ -n "$kver" ] && [ -f "$stage/root/boot/vmlinuz-$kver" ] ||
    { echo "tests/vm/run: $kpkg holds no kernel image and modules" >&2; return 1; }
  # Of the kernel's modules only flash, loop, ISO 9660, 9p and virtio are of use here; the rest
  # would be some 200 MB in every checkout.
  (cd "$stage/root/lib/modules/$kver/kernel" &&
    find . -name '*.ko*' ! -path './drivers/mtd/*' ! -path './drivers/block/loop.ko*' \
      ! -path './drivers/cdrom/*' ! -path './fs/isofs/*' ! -path './fs/9p/*' ! -path './net/9p/*' \
      ! -path './fs/netfs/*' ! -path './fs/fscache/*' ! -path './drivers/virtio/*' -delete) || return 1
  depmod -b "$stage/root" "$kver" || return 1
  # Every program and library finds the libraries it names: a package that apt's closure
  # missed shows here, not as a failing command in the guest.
  missing=""
  while read -r lib; do
    [ -e "$stage/root/lib/arm-linux-gnueabihf/$lib" ] || [ -e "$stage/root/usr/lib/arm-linux-gnueabihf/$lib" ] ||
      [ -e "$stage/root/lib/$lib" ] || missing="$missing $lib"
  done < <(find "$stage/root/bin" "$stage/root/sbin" "$stage/root/usr/bin" "$stage/root/usr/sbin" \
             "$stage/root/lib/arm-linux-gnueabihf" "$stage/root/usr/lib/arm-linux-gnueabihf" \
             -maxdepth 1 -type f -print0 2>/dev/null |
           xargs -0 -r readelf -d 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u)
  [ -z "$missing" ] || { echo "tests/vm/run: the armhf user space lacks:$missing" >&2; return 1; }
  # busybox provides the usual tools where no package did. It is static, so the host's
  # user-mode emulator can list its applets. It is not /bin/sh: Debian's static busybox runs
  # its own applets in place of the programs a command names.
  for p in $(qemu-arm "$stage/root/bin/busybox" --list-full); do
    f=$stage/root/$p
    [ -e "$f" ] || [ -L "$f" ] || { mkdir -p "$(dirname "$f")" && ln -s /bin/busybox "$f"; } || return 1
  done
  ln -sf dash "$stage/root/bin/sh" || return 1
  mkdir -p "$stage/root"/{dev,proc,sys,tmp,mnt,run,root,etc} "$stage/root$checkout" || return 1
  printf 'root:x:0:0:root:/root:/bin/bash\n' > "$stage/root/etc/passwd"
  printf 'root:x:0:\n' > "$stage/root/etc/group"
  rm -rf "$debs" "$stage/root/usr/share/doc" "$stage/root/usr/share/man" "$stage/root/usr/share/locale"
  rm -rf "$dir"
  mv "$stage" "$dir"
}


# ---- the guest's init ----------------------------------------------------------------------
# Kept here so the cached initramfs changes whenever this file does. Only what is needed to
# reach the root file system is in the initramfs; the rest of the modules load from there.
read -r -d '' armhf_guest_init <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
fail() { echo "vm-init: $*" > /dev/console; poweroff -f; }
while read -r m; do
  insmod "/lib/modules/$m" || fail "insmod $m failed"
done < /etc/modules.list
mkdir -p /ctl /newroot
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=none ctl /ctl || fail "cannot mount the control share"
. /ctl/config
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose,ro guestroot /newroot ||
  fail "cannot mount the guest's root"
r=/newroot
mount -t proc proc $r/proc && mount -t sysfs sysfs $r/sys && mount -t devtmpfs devtmpfs $r/dev ||
  fail "cannot mount /proc, /sys or /dev in the guest's root"
for m in loop cdrom isofs; do
  chroot $r /sbin/modprobe $m || fail "cannot load $m"
done
# shellcheck disable=SC2086
chroot $r /sbin/modprobe nandsim $nandsim || fail "cannot load nandsim with: $nandsim"
n=0
while [ ! -c $r/dev/mtd0 ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
if [ -f /ctl/mtd0.in ]; then
  dd if=/ctl/mtd0.in of=$r/dev/mtd0 bs=16384 2>/dev/null || fail "cannot seed /dev/mtd0"
fi
mkdir -p $r/dev/pts && mount -t devpts devpts $r/dev/pts 2>/dev/null
# What udev would add: bash's process substitution needs /dev/fd.
ln -s /proc/self/fd $r/dev/fd 2>/dev/null
ln -s /proc/self/fd/0 $r/dev/stdin 2>/dev/null
ln -s /proc/self/fd/1 $r/dev/stdout 2>/dev/null
ln -s /proc/self/fd/2 $r/dev/stderr 2>/dev/null
mount -t tmpfs -o mode=1777 tmp $r/tmp && mount -t tmpfs -o mode=0755 mnt $r/mnt ||
  fail "cannot mount /tmp or /mnt"
mount -t tmpfs -o mode=0755 run $r/run 2>/dev/null
# A checkout below /tmp or /mnt (a CI clone) needs its mount point in the fresh tmpfs.
mkdir -p "$r$checkout" || fail "cannot make the mount point $checkout"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=none checkout "$r$checkout" ||
  fail "cannot mount the checkout at $checkout"
touch /ctl/booted
cmd=$(cat /ctl/cmd) || fail "cannot read the command"
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  LANG=C TERM=dumb QV_DEVICE_HARNESS=1 QV_TEST_EMULATOR= QV_BOOT_NANDSIM="$nandsim" \
  QV_POWER_CUT_SWEEP=thin \
  unshare -m chroot $r /bin/bash -c "$cmd" >/ctl/stdout 2>/ctl/stderr </dev/null
rc=$?
if [ -n "$mtd0_out" ]; then
  dd if=$r/dev/mtd0 of=/ctl/mtd0.out bs=65536 2>/dev/null || rc=125
fi
echo "$rc" > /ctl/status.tmp && mv /ctl/status.tmp /ctl/status
sync
poweroff -f
INIT

armhf_build_initramfs() { # root, kernel version, output
  local root=$1 kver=$2 out=$3 stage m rel dep base list=()
  stage=$(mktemp -d "$out.stage.XXXXXX") || return 1
  mkdir -p "$stage"/{bin,dev,proc,sys,etc,lib/modules,ctl,newroot} || return 1
  cp "$root/bin/busybox" "$stage/bin/busybox" || return 1
  printf '%s\n' "$armhf_guest_init" > "$stage/init" && chmod 0755 "$stage/init" || return 1
  for m in virtio_mmio 9pnet_virtio 9p; do
    rel=$(grep -E "(^|/)$m\.ko:" "$root/lib/modules/$kver/modules.dep" | head -n 1 | cut -d: -f1)
    if [ -z "$rel" ]; then
      grep -qE "/$m\.ko" "$root/lib/modules/$kver/modules.builtin" && continue
      echo "tests/vm/run: module $m not found for kernel $kver" >&2
      return 1
    fi
    # modules.dep names the modules needed first last.
    for dep in $(grep -E "^$rel:" "$root/lib/modules/$kver/modules.dep" | cut -d: -f2 | tr ' ' '\n' | tac) "$rel"; do
      base=$(basename "$dep")
      [ -f "$stage/lib/modules/$base" ] && continue
      cp "$root/lib/modules/$kver/$dep" "$stage/lib/modules/$base" || return 1
      list+=("$base")
    done
  done
  printf '%s\n' "${list[@]}" > "$stage/etc/modules.list" || return 1
  (cd "$stage" && find . -print0 | cpio --null -o -H newc --quiet | gzip -1) > "$out.tmp" || return 1
  mv -f "$out.tmp" "$out" && rm -rf "$stage"
}

# ---- preparing -----------------------------------------------------------------------------
armhf_nandsim=$armhf_boot_nand
[ "$use_nandsim" = 1 ] && armhf_nandsim=$nandsim
case "$armhf_nandsim" in *[\;\&\|\`\$\<\>\\\"\']*) armhf_die "--nandsim: parameters may not contain shell characters" ;; esac
if [ -n "$mtd0_in" ]; then
  [ -f "$mtd0_in" ] || armhf_die "--mtd0-in: no file $mtd0_in"
  armhf_in_size=$(stat -c %s "$mtd0_in")
  [ "$armhf_in_size" -le "$armhf_mtd0_max" ] || armhf_die "--mtd0-in: $mtd0_in is larger than 32 MiB"
  [ $((armhf_in_size % 512)) = 0 ] || armhf_die "--mtd0-in: NAND takes whole 512-byte pages; $mtd0_in is not"
fi
# The guest's root is keyed by what goes into it, the initramfs by the init and its modules;
# neither asks apt for the current kernel, which costs seconds on every run. Remove
# build/vm/armhf to take a newer kernel.
armhf_root_key=$( { printf '%s\n' "${armhf_root_packages[@]}" "$armhf_unneeded" "$armhf_kernel_flavour";
                    declare -f armhf_build_cache armhf_root_closure; } | sha256sum | cut -c1-16)
armhf_dir=$checkout/build/vm/armhf/$armhf_root_key
armhf_root=$armhf_dir/root
if [ ! -f "$armhf_dir/complete" ]; then
  armhf_host_packages || armhf_die "cannot install the packages the harness needs"
  armhf_kpkg=$(armhf_kernel_package)
  [ -n "$armhf_kpkg" ] || armhf_die "apt knows no linux-image-$armhf_kernel_flavour:armhf"
  mkdir -p "$checkout/build/vm/armhf" || armhf_die "cannot create build/vm/armhf"
  # Older caches (another harness version) are of no further use.
  find "$checkout/build/vm/armhf" -mindepth 1 -maxdepth 1 ! -path "$armhf_dir" -exec rm -rf {} + 2>/dev/null
  armhf_build_cache "$armhf_dir" "$armhf_kpkg" && : > "$armhf_dir/complete" ||
    { rm -rf "$armhf_dir".stage.*; armhf_die "cannot build the guest in $armhf_dir"; }
else
  dpkg-query -W -f='${Status}' qemu-system-arm 2>/dev/null | grep -q 'install ok installed' ||
    { armhf_host_packages || armhf_die "cannot install the packages the harness needs"; }
fi
armhf_kver=$(ls "$armhf_root/lib/modules" | head -n 1)
armhf_init_key=$( { printf '%s\n' "$armhf_guest_init"; declare -f armhf_build_initramfs; } |
                  sha256sum | cut -c1-16)
armhf_initramfs=$armhf_dir/initramfs-$armhf_init_key.cpio.gz
if [ ! -f "$armhf_initramfs" ]; then
  armhf_build_initramfs "$armhf_root" "$armhf_kver" "$armhf_initramfs" ||
    { rm -rf "$armhf_initramfs".stage.*; armhf_die "cannot build the initramfs"; }
  find "$armhf_dir" -maxdepth 1 -name 'initramfs-*.cpio.gz' ! -path "$armhf_initramfs" -delete 2>/dev/null
fi
armhf_kver=$(ls "$armhf_root/lib/modules" | head -n 1)
armhf_kernel=$armhf_root/boot/vmlinuz-$armhf_kver
[ -r "$armhf_kernel" ] || armhf_die "no kernel image in $armhf_dir"
qemu=$(command -v qemu-system-arm) || armhf_die "qemu-system-arm is missing"
[ "$want_kvm" = 1 ] && echo "tests/vm/run: no KVM for a 32-bit ARM guest here; using TCG" >&2

# ---- one run -------------------------------------------------------------------------------
ctl=$(mktemp -d "${TMPDIR:-/tmp}/qv-vm.XXXXXX") || die "cannot create a temporary directory"
qemu_pid=""
tail_pids=()
armhf_cleanup() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null
    sleep 0.2
    kill -9 "$qemu_pid" 2>/dev/null
  fi
  local p
  for p in "${tail_pids[@]+"${tail_pids[@]}"}"; do kill "$p" 2>/dev/null; done
  if [ "$keep" = 1 ]; then echo "tests/vm/run: kept $ctl" >&2; else rm -rf "$ctl"; fi
}
trap armhf_cleanup EXIT
trap 'exit 130' INT TERM

{
  printf 'checkout=%q\n' "$checkout"
  printf 'nandsim=%q\n' "$armhf_nandsim"
  printf 'mtd0_out=%q\n' "$mtd0_out"
} > "$ctl/config"
{
  while IFS='=' read -r name _; do
    case "$name" in
      # The guest runs ARM programs natively: an emulator named by the caller has no place there.
      QV_SANDBOX_OUTER_NS|QV_SANDBOX_INNER|QV_VM_*|QV_TEST_EMULATOR) ;;
      GTEST_*|ASAN_OPTIONS|UBSAN_OPTIONS|LSAN_OPTIONS|QV_*) printf 'export %s=%q\n' "$name" "${!name}" ;;
    esac
  done < <(compgen -e)
  printf 'cd -- %q 2>/dev/null || cd -- %q || exit 125\n' "$(pwd -P)" "$checkout"
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} > "$ctl/cmd"
[ -z "$mtd0_in" ] || cp "$mtd0_in" "$ctl/mtd0.in" || die "cannot copy $mtd0_in"
: > "$ctl/stdout"
: > "$ctl/stderr"

start=$(date +%s.%N)
"$qemu" -M virt,highmem=off -cpu cortex-a15 -accel tcg,thread=single -m 512 -smp 1 -nodefaults \
  -no-user-config -no-reboot -display none -serial "file:$ctl/console.log" \
  -kernel "$armhf_kernel" -initrd "$armhf_initramfs" \
  -append "console=ttyAMA0 quiet loglevel=3 panic=-1 rdinit=/init" \
  -fsdev "local,id=ctl,path=$ctl,security_model=none" \
  -device virtio-9p-device,fsdev=ctl,mount_tag=ctl \
  -fsdev "local,id=guestroot,path=$armhf_root,security_model=none,readonly=on" \
  -device virtio-9p-device,fsdev=guestroot,mount_tag=guestroot \
  -fsdev "local,id=checkout,path=$checkout,security_model=none" \
  -device virtio-9p-device,fsdev=checkout,mount_tag=checkout \
  >"$ctl/qemu.log" 2>&1 &
qemu_pid=$!

tail -s 0.1 -n +1 -f --pid="$qemu_pid" "$ctl/stdout" &
tail_pids+=($!)
tail -s 0.1 -n +1 -f --pid="$qemu_pid" "$ctl/stderr" >&2 &
tail_pids+=($!)

timed_out=0
boot_timed_out=0
now=$(date +%s)
deadline=$(( now + timeout_s ))
boot_deadline=$(( now + ${QV_VM_BOOT_TIMEOUT:-90} ))
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ -f "$ctl/status" ]; then
    kill "$qemu_pid" 2>/dev/null
    break
  fi
  now=$(date +%s)
  if [ ! -f "$ctl/booted" ] && [ "$now" -ge "$boot_deadline" ]; then
    boot_timed_out=1
  fi
  if [ "$now" -ge "$deadline" ] || [ "$boot_timed_out" = 1 ]; then
    timed_out=1
    kill "$qemu_pid" 2>/dev/null
    sleep 1
    kill -9 "$qemu_pid" 2>/dev/null
    break
  fi
  sleep 0.2
done
wait "$qemu_pid" 2>/dev/null
qemu_rc=$?
qemu_pid=""
for p in "${tail_pids[@]}"; do wait "$p" 2>/dev/null; done
tail_pids=()

if [ -f "$ctl/booted" ] && [ -n "${QV_VM_VERBOSE:-}" ]; then
  echo "tests/vm/run: guest ran for $(echo "$(date +%s.%N) - $start" | bc 2>/dev/null) s" >&2
fi
armhf_show_console() {
  echo "---- guest console (last lines) ----" >&2
  tail -n 30 "$ctl/console.log" >&2 2>/dev/null
  if [ -s "$ctl/qemu.log" ]; then
    echo "---- qemu ----" >&2
    tail -n 10 "$ctl/qemu.log" >&2
  fi
}
if [ ! -f "$ctl/booted" ]; then
  armhf_show_console
  [ "$timed_out" = 1 ] && die "the armhf guest did not boot in time (QV_VM_BOOT_TIMEOUT)"
  die "the armhf guest did not boot (qemu status $qemu_rc)"
fi
if [ "$timed_out" = 1 ]; then
  echo "tests/vm/run: the command did not end within $timeout_s s; the guest was killed" >&2
  exit 124
fi
if [ ! -f "$ctl/status" ]; then
  armhf_show_console
  die "the guest ended without reporting the command's status (qemu status $qemu_rc)"
fi
rc=$(cat "$ctl/status")
if [ -n "$mtd0_out" ]; then
  [ -f "$ctl/mtd0.out" ] || die "the guest did not save /dev/mtd0"
  cp "$ctl/mtd0.out" "$mtd0_out" || die "cannot write $mtd0_out"
fi
exit "$rc"
