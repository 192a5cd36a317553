// The records that the scanner, the comparison, the report and the
// application pass between them.
#ifndef KELVODA_RECORDS_HPP_
#define KELVODA_RECORDS_HPP_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Storage for the key texts of one FileTimeMap: large blocks filled one key
// after the other, so a key costs its own bytes and no allocation of its own.
// The blocks never move, so views into them survive when the map is moved.
struct KeyArena {
  std::vector<std::unique_ptr<char[]>> blocks;
  std::size_t used = 0;      // bytes taken in the last block
  std::size_t capacity = 0;  // size of the last block
};

// One file of a FileTimeMap: its key, a view into the map's arena, its
// modification time in whole seconds since the epoch, and its size.
struct FileTime {
  std::string_view key;
  std::int64_t time = 0;
  std::uint64_t size = 0;
};

// Every regular file of one tree: its path relative to the tree's root
// (components joined by "/", no leading slash, matched byte for byte) and
// its modification time. `files` holds them in the order they were first
// stored, which is the map's iteration order; `slots` is an open-addressed
// hash index into `files` (index + 1, 0 for a free slot), a power of two in
// size and at most half full. The map can be moved but not copied.
struct FileTimeMap {
  KeyArena arena;
  std::vector<FileTime> files;
  std::vector<std::uint32_t> slots;
};

// A folder, by its device and inode numbers, that a walk looks out for.
struct FolderWatch {
  dev_t dev = 0;
  ino_t ino = 0;
  bool seen = false;  // set when the walk entered it below its root
};

// What the host is known to do with names.
struct HostNames {
  // It lists names in another spelling than it keeps them (lowntfs-3g -o
  // ignore_case lists small letters): which spelling it keeps cannot be
  // seen, so nothing is renamed to a spelling, and a file whose size differs
  // from the local one is copied anew even when it is not older.
  bool listed_otherwise = false;
  // Its root may take names that differ in letter case as one; false only
  // where the host answered that it does not.
  bool may_ignore_case = true;
};

// The kind of a pending action; 2 is not used.
enum DiffType : std::int32_t {
  NEWER = 1,    // on both sides, the local copy is newer: overwrite the host's
  DELETED = 3,  // only on the host: delete it there
  MISSING = 4,  // only in the local tree: copy it to the host
  // Only in the local tree, but the host gives its name, or a folder's on
  // its path, to another local file or folder: it cannot be copied.
  TAKEN = 5,
  // On both sides under spellings the host takes as one, and the host's
  // file is another: overwrite it under the local spelling.
  REPLACED = 6,
};

// One pending action; `size` and `time` are the local file's for a copy
// (its size is shown while the copies run), the host file's for a deletion.
struct DiffEntry {
  std::string rel_path;
  DiffType type = NEWER;
  // TAKEN: the components of `rel_path` up to the name the host gives to
  // another.
  std::uint16_t taken_at = 0;
  // A copy of a later wave starts once those of the earlier waves are in
  // place, so that of two new names the host may take as one the first in
  // byte order gets it.
  std::uint16_t wave = 0;
  std::uint64_t size = 0;
  std::int64_t time = 0;
};

// A host folder or file that takes the local spelling: `rel_path` is its
// path with the new name, `from` its name on the host until then.
struct Rename {
  std::string rel_path;
  std::string from;
};

// The outcome of comparing the local and the host tree, and so what the run
// does to the host: first the renames, then the copies (NEWER, MISSING,
// REPLACED, and the TAKEN that fail), which stand before all deletions in
// `entries`. `newer_count` includes REPLACED, `missing_count` TAKEN.
struct CompareResult {
  std::vector<DiffEntry> entries;
  std::vector<Rename> renames = {};
  // Hidden entries (".kelvoda-<pid>-...") that killed runs left on the
  // host, by their paths below its root; a run that changes the host
  // removes them.
  std::vector<std::string> leftovers = {};
  std::uint64_t local_total = 0;
  std::uint64_t host_total = 0;
  std::uint64_t unchanged_count = 0;
  std::uint64_t newer_count = 0;
  std::uint64_t deleted_count = 0;
  std::uint64_t missing_count = 0;
};

#endif  // KELVODA_RECORDS_HPP_
