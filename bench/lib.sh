# shellcheck shell=bash disable=SC2034,SC2154
# Shared by bench/run and bench/profile: messages, missing packages, the
# release build, the tree generator, the scratch folder and the exFAT host.
# Expects $repo.

say() { printf 'bench: %s\n' "$*" >&2; }
die() {
  say "ERROR: $*"
  exit 1
}

# Installs the packages of the commands that are missing (COMMAND:PACKAGE).
need() {
  local pair missing=()
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
  done
  ((${#missing[@]})) || return 0
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Builds the release kelvoda and the tree generator; sets $kelvoda and
# $make_tree.
build_all() {
  mkdir -p "$repo/build/bench"
  local log=$repo/build/bench/build.log
  say "building the release kelvoda"
  (cd "$repo" && cmake --workflow --preset release) >"$log" 2>&1 ||
    { cat "$log" >&2; die "release build failed"; }
  kelvoda=$repo/build/release/kelvoda
  make_tree=$repo/build/bench/make_tree
  g++ -O2 -std=c++20 -o "$make_tree" "$repo/bench/make_tree.cpp" ||
    die "tree generator failed to build"
}

# generate DIR FILES [--empty]: prints the generator's summary line.
generate() {
  say "generating $2 files in $1 ${3:-}"
  "$make_tree" "$@"
}

# Makes the run's scratch folder $work below KELVODA_BENCH_DIR (default
# $TMPDIR or /tmp). When the script ends, however it ends, unmounts the exFAT
# host if one is mounted and removes the folder.
make_scratch() {
  local parent=${KELVODA_BENCH_DIR:-${TMPDIR:-/tmp}}
  mkdir -p "$parent"
  work=$(mktemp -d "$parent/kelvoda-bench.XXXXXX")
  trap finish EXIT
  # A signal ends the script through exit, which runs the EXIT trap.
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
  # The commands are handed to hyperfine as words split at spaces.
  [[ $work =~ ^[A-Za-z0-9/._+-]+$ ]] ||
    die "scratch path '$work' must not hold spaces or quotes"
}

# make_small_change DIR: changes the tree at DIR the same way every time,
# picking files by their place in the sorted list: every 100th file gets a
# newer time, every 200th is deleted, and a new file is added beside every
# 200th. Sets $touched, $deleted and $added.
make_small_change() {
  local newer_time=1710000000  # later than every generated time
  local listing=() touch_list=() delete_list=() add_list=() i path
  mapfile -t listing < <(cd "$1" && find . -type f | LC_ALL=C sort)
  for ((i = 0; i < ${#listing[@]}; i++)); do
    path=$1/${listing[i]#./}
    if ((i % 100 == 99)); then
      touch_list+=("$path")
    elif ((i % 200 == 49)); then
      delete_list+=("$path")
    elif ((i % 200 == 149)); then
      path=${path%/*}/added_$i.txt
      printf 'added file %d\n' "$i" >"$path"
      add_list+=("$path")
    fi
  done
  touched=${#touch_list[@]}
  deleted=${#delete_list[@]}
  added=${#add_list[@]}
  if ((touched + added)); then
    touch -m -d "@$newer_time" -- "${touch_list[@]}" "${add_list[@]}"
  fi
  if ((deleted)); then
    rm -- "${delete_list[@]}"
  fi
}

# check_space TREE BLOCK_COPIES INODE_COPIES [EXTRA_KIB]: ends the run unless
# the scratch file system has room for BLOCK_COPIES more trees like TREE plus
# EXTRA_KIB and inodes for INODE_COPIES (a tenth spare): the machine may be
# shared, and a full disk breaks others' work too.
check_space() {
  local kib inodes avail_kib avail_inodes extra_kib=${4:-0}
  kib=$(du -sk "$1" | cut -f1)
  inodes=$(find "$1" | wc -l)
  avail_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
  avail_inodes=$(df -Pi "$work" | awk 'NR == 2 { print $4 }')
  if ((($2 * kib + extra_kib) * 11 / 10 > avail_kib ||
    $3 * inodes * 11 / 10 > avail_inodes)); then
    die "not enough room in $work for $2 more trees of $((kib / 1024)) MiB, $((extra_kib / 1024)) MiB more and $(($3 * inodes)) inodes (free: $((avail_kib / 1024)) MiB, $avail_inodes inodes)"
  fi
}

# --- exFAT host --------------------------------------------------------------
# The kernel may have no exFAT driver, so the host is an image file on a loop
# device, mounted by the FUSE driver. Root's tools live in the sbin folders.
PATH=$PATH:/usr/sbin:/sbin
exfat_skip="" exfat_image="" exfat_loop="" exfat_dir="" exfat_direct_io=0
EXFAT_CLUSTER=32768  # what mkfs.exfat picks for disks of 256 MiB to 32 GiB

# Sets $exfat_skip to why no exFAT host can be mounted here, or to "" when one
# can; installs exfatprogs and exfat-fuse when they are missing.
check_exfat() {
  local tool
  exfat_skip=""
  if ((EUID != 0)); then
    exfat_skip="mounting a file system needs root"
    return 0
  fi
  if [[ ! -c /dev/fuse || ! -r /dev/fuse || ! -w /dev/fuse ]]; then
    exfat_skip="no usable /dev/fuse"
    return 0
  fi
  if ! grep -qw fuseblk /proc/filesystems; then
    exfat_skip="the kernel lacks fuseblk"
    return 0
  fi
  need mkfs.exfat:exfatprogs mount.exfat-fuse:exfat-fuse losetup:mount ||
    true
  for tool in mkfs.exfat mount.exfat-fuse losetup mountpoint; do
    if ! command -v "$tool" >/dev/null; then
      exfat_skip="missing $tool"
      return 0
    fi
  done
  if ! losetup -f >/dev/null 2>&1; then
    exfat_skip="no free loop device"
  fi
}

# mount_exfat BYTES: formats a sparse image of BYTES in $work as exFAT with
# clusters of EXFAT_CLUSTER bytes and mounts it at $exfat_dir; sets
# $exfat_direct_io to 1 when the loop device writes to the image with direct
# I/O. When a step fails, undoes the others and sets $exfat_skip to the
# reason.
mount_exfat() {
  local log=$work/exfat.log
  exfat_image=$work/exfat.img
  truncate -s "$1" "$exfat_image"
  # With direct I/O a sync of the host waits for the disk, as with a real USB
  # disk, not just for the page cache of the image's file system. Where that
  # file system refuses it, the device writes through the page cache.
  if ! exfat_loop=$(losetup -f --show --direct-io=on "$exfat_image" \
    2>"$log") && ! exfat_loop=$(losetup -f --show "$exfat_image" 2>"$log"); then
    exfat_loop=""
    exfat_skip="no loop device for the image: $(tr '\n' ' ' <"$log")"
  elif ! mkfs.exfat -c "$EXFAT_CLUSTER" "$exfat_loop" >"$log" 2>&1; then
    exfat_skip="mkfs.exfat failed: $(tr '\n' ' ' <"$log")"
  else
    exfat_dir=$work/exfat
    mkdir "$exfat_dir"
    # The driver stays in the background; it must not hold our outputs.
    if ! mount.exfat-fuse "$exfat_loop" "$exfat_dir" </dev/null >"$log" 2>&1 ||
      ! mountpoint -q "$exfat_dir"; then
      exfat_skip="mount.exfat-fuse failed: $(tr '\n' ' ' <"$log")"
    fi
  fi
  [[ -z $exfat_skip ]] || release_exfat
  exfat_direct_io=0
  if [[ -n $exfat_loop ]]; then
    exfat_direct_io=$(cat "/sys/block/${exfat_loop#/dev/}/loop/dio" \
      2>/dev/null || echo 0)
  fi
}

# Unmounts the exFAT host, detaches its loop device and removes the image;
# does what applies and never fails, so the EXIT trap can call it.
release_exfat() {
  local attempt
  if [[ -n $exfat_dir ]] && mountpoint -q "$exfat_dir"; then
    # A reader that has not yet let go keeps the mount busy for a moment.
    for ((attempt = 0; attempt < 50; attempt++)); do
      umount "$exfat_dir" 2>/dev/null && break
      sleep 0.1
    done
    if mountpoint -q "$exfat_dir"; then
      fusermount -u "$exfat_dir" 2>/dev/null || umount -l "$exfat_dir" ||
        say "WARNING: cannot unmount $exfat_dir"
    fi
  fi
  exfat_dir=""
  if [[ -n $exfat_loop ]]; then
    # The driver closes the device shortly after the unmount; a device still
    # open is detached by the kernel as soon as it is closed.
    losetup -d "$exfat_loop" 2>/dev/null ||
      say "WARNING: cannot detach $exfat_loop"
    for ((attempt = 0; attempt < 50; attempt++)); do
      [[ $(cat "/sys/block/${exfat_loop#/dev/}/loop/backing_file" \
        2>/dev/null) == "$exfat_image"* ]] || break
      sleep 0.1
    done
  fi
  exfat_loop=""
  if [[ -n $exfat_image ]]; then
    rm -f "$exfat_image"
  fi
  exfat_image=""
}

# mount_ext4 BYTES: formats a sparse image of BYTES in $work as ext4 on a
# loop device of its own, reading and writing the image with direct I/O so
# that its blocks come from the disk and not from the scratch file system's
# page cache, and mounts it at $ext4_dir. Sets $ext4_skip to the reason when
# that cannot be done, and undoes what was done.
mount_ext4() {
  local log=$work/ext4.log
  ext4_skip="" ext4_dir=""
  if ((EUID != 0)); then
    ext4_skip="mounting a file system needs root"
    return 0
  fi
  ext4_image=$work/ext4.img
  truncate -s "$1" "$ext4_image"
  if ! ext4_loop=$(losetup -f --show --direct-io=on "$ext4_image"     2>"$log") && ! ext4_loop=$(losetup -f --show "$ext4_image" 2>"$log"); then
    ext4_loop=""
    ext4_skip="no loop device for the image: $(tr '\n' ' ' <"$log")"
  elif ! mkfs.ext4 -q -F "$ext4_loop" >"$log" 2>&1; then
    ext4_skip="mkfs.ext4 failed: $(tr '\n' ' ' <"$log")"
  else
    ext4_dir=$work/ext4
    mkdir "$ext4_dir"
    mount -t ext4 "$ext4_loop" "$ext4_dir" 2>"$log" ||
      ext4_skip="mounting ext4 failed: $(tr '\n' ' ' <"$log")"
  fi
  [[ -z $ext4_skip ]] || release_ext4
}

# Unmounts the ext4 image, detaches its loop device and removes the image;
# never fails, so the EXIT trap can call it.
release_ext4() {
  if [[ -n ${ext4_dir:-} ]] && mountpoint -q "$ext4_dir"; then
    umount "$ext4_dir" 2>/dev/null || umount -l "$ext4_dir" ||
      say "WARNING: cannot unmount $ext4_dir"
  fi
  ext4_dir=""
  if [[ -n ${ext4_loop:-} ]]; then
    losetup -d "$ext4_loop" 2>/dev/null || say "WARNING: cannot detach $ext4_loop"
  fi
  ext4_loop=""
  [[ -z ${ext4_image:-} ]] || rm -f "$ext4_image"
  ext4_image=""
}

# The EXIT trap of make_scratch.
finish() {
  release_ext4
  release_exfat
  say "removing $work"
  # Never into a mount that could not be undone.
  rm -rf --one-file-system "$work"
}
