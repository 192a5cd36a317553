// Where a local name lands in a host folder: the host's own lookup, set
// against what the host's scan listed there, where case folding proposes
// the entries it may have landed on. Each folder and name is asked once.
#ifndef KELVODA_LANDING_HPP_
#define KELVODA_LANDING_HPP_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "folders.hpp"
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

// Returns lookups on the host tree at `host_root`, held as `held`, through
// folders opened from it without following links.
LookUp look_up_on_host(const std::string& host_root,
                       std::shared_ptr<const UniqueFd> held);

// Where a local name lands: on nothing (NEW), on the listed entry `name` of
// `kind` (FOUND), or on one of several listed `candidates` that cannot be
// told apart (UNRESOLVED; their paths below the host root).
enum class Outcome { NEW, FOUND, UNRESOLVED };
struct Landing {
  Outcome outcome = Outcome::NEW;
  std::string name = {};
  Kind kind = Kind::REGULAR;
  std::vector<std::string> candidates = {};
};

// One entry of a host folder's listing.
struct Child {
  std::string_view name;
  Kind kind = Kind::REGULAR;
};

// The answers of one plan, and the host's listing they are set against,
// built once a lookup finds something.
struct Landings {
  const FileTimeMap& host_map;
  const LookUp& look_up;
  std::unordered_map<std::string_view, std::vector<Child>> children = {};
  // Per folder asked about, its entries by folded name.
  std::unordered_map<std::string_view,
                     std::unordered_map<std::string, std::vector<Child>>>
      folded = {};
  bool listed = false;
  std::unordered_map<std::string, Landing> known = {};
};

// Where the local `name` lands in the host folder `folder` (as listed), as
// the host answers: a listed entry whose name folds alike; where several
// do, the one the host numbers alike, or, where it numbers each spelling
// apart (exfat-fuse), the only one of the same kind, size and time. A name
// that lands on nothing listed (an entry the scan passes over) counts as
// NEW: the copy meets it as it would meet a new file.
const Landing& land(Landings& landings, const std::string& folder,
                    std::string_view name);

#endif  // KELVODA_LANDING_HPP_
