// Waves of new names. Of new local files and folders whose names a host may
// take as one, the first in byte order is put in place first, so that it is
// the one the host keeps, whatever order the walk found them in.
#ifndef KELVODA_WAVES_HPP_
#define KELVODA_WAVES_HPP_

#include <cstddef>
#include <string>
#include <vector>

#include "records.hpp"

// A local path that is new on the host from its `depth`-th name on, below
// the host folder `host` (as listed).
struct NewPath {
  std::size_t entry = 0;  // its index in the entries
  std::string host = {};
  std::size_t depth = 0;
};

// Gives each entry of `paths` its wave: the most names that come before its
// own in byte order among the new names of one host folder that fold alike,
// at any of its new levels. Prints nothing.
void set_waves(std::vector<DiffEntry>& entries,
               const std::vector<NewPath>& paths);

#endif  // KELVODA_WAVES_HPP_
