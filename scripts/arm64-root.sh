# Sourced by the scripts: an arm64 Debian 12 root with Debian's arm64 Wine 8.0,
# run on this x86_64 host through qemu-user-static (binfmt_misc). Made once and
# kept between runs; needs root and the Debian archive.
#   arm64_root_ready ROOT     make ROOT (each step only when not done yet)
#   arm64_root_mount ROOT DIR mount /proc, /dev, /sys and DIR (at the same path) into ROOT
#   arm64_root_umount ROOT    undo arm64_root_mount

arm64_root_step() { echo "== [arm64 root] $*"; }

# The archive this host's apt uses, unless MIRROR names one.
arm64_root_mirror() {
  if [ -n "${MIRROR:-}" ]; then echo "$MIRROR"; return; fi
  local uri
  uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs:[[:space:]]*//p' | head -n1)
  [ -n "$uri" ] || uri=$(sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' /etc/apt/sources.list 2>/dev/null | head -n1)
  echo "${uri:-http://deb.debian.org/debian}"
}

arm64_root_ready() {
  local root=$1 nice="nice -n 19"
  local need=()
  command -v qemu-aarch64-static >/dev/null || need+=(qemu-user-static)
  command -v debootstrap >/dev/null || need+=(debootstrap)
  if [ ${#need[@]} -gt 0 ]; then
    arm64_root_step "installing ${need[*]}"
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}" >/dev/null
  fi

  # The kernel hands aarch64 programs to qemu; flag F keeps qemu usable inside the root.
  [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    arm64_root_step "registering qemu-aarch64 with binfmt_misc"
    cat /usr/lib/binfmt.d/qemu-aarch64.conf >/proc/sys/fs/binfmt_misc/register
  fi

  mkdir -p "$root"
  if [ ! -f "$root/.tw-base-done" ]; then
    if [ ! -d "$root/debootstrap" ]; then
      arm64_root_step "debootstrap (first stage) into $root"
      rm -rf "$root"
      mkdir -p "$root"
      $nice debootstrap --arch=arm64 --foreign --variant=minbase "${TW_ARM64_SUITE:-bookworm}" "$root" "$(arm64_root_mirror)" \
        >"$root.debootstrap1.log" 2>&1 || { tail -n 20 "$root.debootstrap1.log"; return 1; }
    fi
    arm64_root_step "debootstrap (second stage, emulated)"
    $nice chroot "$root" /debootstrap/debootstrap --second-stage >"$root.debootstrap2.log" 2>&1 \
      || { tail -n 20 "$root.debootstrap2.log"; return 1; }
    touch "$root/.tw-base-done"
  fi

  if [ ! -x "$root/usr/lib/wine/wine64" ]; then
    arm64_root_step "installing Debian's arm64 Wine (emulated)"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    arm64_root_mount_system "$root"
    local status=0
    { $nice chroot "$root" apt-get update &&
      DEBIAN_FRONTEND=noninteractive $nice chroot "$root" apt-get install -y --no-install-recommends wine64 wine &&
      chroot "$root" apt-get clean; } >"$root.wine.log" 2>&1 || status=$?
    arm64_root_umount "$root"
    if [ $status -ne 0 ]; then tail -n 20 "$root.wine.log"; return $status; fi
  fi
}

arm64_root_mount_system() {
  local root=$1
  mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
  mountpoint -q "$root/dev" || { mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev"; }
  mountpoint -q "$root/sys" || mount -t sysfs sys "$root/sys"
}

arm64_root_mount() {
  local root=$1 dir=$2
  arm64_root_mount_system "$root"
  mkdir -p "$root$dir"
  mountpoint -q "$root$dir" || mount --bind "$dir" "$root$dir"
}

arm64_root_umount() {
  local root=$1 m
  # Deepest first: the bound folder, then the system mounts.
  for m in $(awk -v r="$root/" 'index($2, r) == 1 { print $2 }' /proc/mounts | sort -r); do
    umount -l "$m" 2>/dev/null || true
  done
}
