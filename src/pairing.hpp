// What a host that takes several spellings for one name (exFAT, FAT, NTFS,
// folders with case folding) makes of the local names: which host entry
// each local name lands on, which host entries take the local spelling, and
// which local names cannot have one of their own. Decided before the report
// from both scans and the host's answers to lookups, never from a table of
// letters.
#ifndef KELVODA_PAIRING_HPP_
#define KELVODA_PAIRING_HPP_

#include "landing.hpp"
#include "records.hpp"

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
