// What a host that takes several spellings for one name (exFAT, FAT, NTFS,
// folders with case folding) makes of the local names: which host entry
// each local name lands on, which host entries take the local spelling, and
// which local names cannot have one of their own. Decided before the report
// from both scans and the host's answers to lookups, never from a table of
// letters.
#ifndef KELVODA_PAIRING_HPP_
#define KELVODA_PAIRING_HPP_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "records.hpp"

// What a name lands on in a host folder.
enum class Kind { NONE, REGULAR, FOLDER, OTHER };

// The host's answer to a lookup.
struct Found {
  Kind kind = Kind::NONE;  // NONE: the name lands on nothing
  dev_t dev = 0;
  ino_t ino = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
};

// Looks `name` up in the host folder `folder` (its path below the host root
// as the host lists it, "" for the root), not following a last link.
using LookUp =
    std::function<Found(std::string_view folder, std::string_view name)>;

// Returns lookups on the host tree at `host_root`, through folders opened
// from it without following links.
LookUp look_up_on_host(const std::string& host_root);

// Settles in `result` what the host makes of local names that it did not
// list under their own spelling, asking `look_up` at most once for each
// such name in a folder:
// - a local file or folder that lands on a host entry of another spelling
//   is paired with it: the host entry takes the local spelling by a rename
//   (`result.renames`, folders before what lies below them) and is never
//   deleted; the files below a paired folder compare by name as usual, a
//   paired file by size and time (REPLACED where the host's file is
//   another);
// - of local names that land on one host entry, the first in byte order
//   owns it, preferring one of the entry's kind; a file or folder that
//   cannot have its own (a name the host gives to another) is TAKEN,
//   folders of the same entry share it;
// - host files deleted below a paired folder are named in the spelling they
//   get;
// - of new names that the host may take as one, the first in byte order is
//   copied in an earlier wave.
// Keeps copies before deletions and recounts. Prints nothing.
void plan_spellings(CompareResult& result, const FileTimeMap& local_map,
                    const FileTimeMap& host_map, const LookUp& look_up,
                    const HostNames& names);

#endif  // KELVODA_PAIRING_HPP_
