# shellcheck shell=bash disable=SC2034,SC2154
# Shared by bench/run and bench/profile: messages, missing packages, the
# release build, the tree generator and the scratch folder. Expects $repo.

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
# $TMPDIR or /tmp) and removes it when the script ends.
make_scratch() {
  local parent=${KELVODA_BENCH_DIR:-${TMPDIR:-/tmp}}
  mkdir -p "$parent"
  work=$(mktemp -d "$parent/kelvoda-bench.XXXXXX")
  trap 'say "removing $work"; rm -rf "$work"' EXIT
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

# check_space TREE BLOCK_COPIES INODE_COPIES: ends the run unless the scratch
# file system has room for BLOCK_COPIES more trees like TREE and inodes for
# INODE_COPIES (a tenth spare): the machine may be shared, and a full disk
# breaks others' work too.
check_space() {
  local kib inodes avail_kib avail_inodes
  kib=$(du -sk "$1" | cut -f1)
  inodes=$(find "$1" | wc -l)
  avail_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
  avail_inodes=$(df -Pi "$work" | awk 'NR == 2 { print $4 }')
  if (($2 * kib * 11 / 10 > avail_kib || $3 * inodes * 11 / 10 > avail_inodes)); then
    die "not enough room in $work for $2 more trees of $((kib / 1024)) MiB and $(($3 * inodes)) inodes (free: $((avail_kib / 1024)) MiB, $avail_inodes inodes)"
  fi
}
