// Comparing the local and the host tree's FileTimeMaps.
#ifndef KELVODA_COMPARE_HPP_
#define KELVODA_COMPARE_HPP_

#include "records.hpp"

// Matches the two maps by key and returns the pending actions: a local file
// missing on the host (MISSING) or newer than the host's copy (NEWER), in
// `local_map`'s order, then every host-only file (DELETED) in `host_map`'s
// order, with the six counters. Prints nothing.
CompareResult compare_dirs(const FileTimeMap& local_map,
                           const FileTimeMap& host_map);

#endif  // KELVODA_COMPARE_HPP_
