// Pairing local names with the host entries they land on. Each local file
// missing under its own name is followed from the host root, one component
// at a time: a component the host lists under that spelling is taken as it
// is; any other is looked up on the host once per folder and name, and set
// against the host's listing, where case folding proposes the entries it
// may have landed on. The host entries reached so form groups, whose owner
// is decided once all local names are known.
#include "pairing.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "file_map.hpp"
#include "landing.hpp"
#include "rel_path.hpp"
#include "waves.hpp"

namespace {

constexpr std::size_t NONE = static_cast<std::size_t>(-1);

// The folders of one tree's files, each a view into a key.
std::unordered_set<std::string_view> folders_of(const FileTimeMap& map) {
  std::unordered_set<std::string_view> folders;
  for (const FileTime& file : map.files) {
    std::string_view folder = file.key;
    for (std::size_t slash = folder.rfind('/'); slash != std::string_view::npos;
         slash = folder.rfind('/')) {
      folder = folder.substr(0, slash);
      if (!folders.insert(folder).second) {
        break;  // and so are the folders above it
      }
    }
  }
  return folders;
}

// A local file or folder that lands on a host entry.
struct Member {
  std::string local;
  Kind kind = Kind::REGULAR;
};

// A host entry that local names reach under another spelling, on their own
// or on a folder's path.
struct Group {
  std::string host;  // as listed
  Kind kind = Kind::REGULAR;
  std::size_t depth = 0;
  std::vector<Member> members = {};
  std::size_t owner = 0;
};

// Where one missing local file's path led.
enum class End { REACHED, NEW, UNRESOLVED, MISMATCH };
struct Route {
  std::size_t entry = 0;
  std::vector<std::size_t> groups = {};  // passed, from the top
  End end = End::NEW;
  std::size_t depth = 0;  // NEW, UNRESOLVED: where it ended
  std::string host = {};  // REACHED: the host file; NEW: its folder
  bool resolved = false;  // REACHED: the file's own name was looked up
};

struct Planner {
  CompareResult& result;
  const FileTimeMap& local_map;
  const FileTimeMap& host_map;
  const HostNames& names;
  std::unordered_set<std::string_view> host_folders = {};
  std::optional<std::unordered_set<std::string_view>> local_folders = {};
  Landings landings;
  std::vector<Group> groups = {};
  std::unordered_map<std::string, std::size_t> group_of = {};
  std::vector<Route> routes = {};
  std::unordered_set<std::string> kept = {};  // host paths never deleted
};

// Notes that `local` (of `kind`) reaches the host entry `host` of
// `host_kind`, `depth` components deep, on `route`.
void reach(Planner& plan, Route& route, const std::string& host, Kind host_kind,
           std::size_t depth, std::string_view local, Kind kind) {
  auto [at, fresh] = plan.group_of.try_emplace(host, plan.groups.size());
  if (fresh) {
    plan.groups.push_back({.host = host, .kind = host_kind, .depth = depth});
  }
  Group& group = plan.groups[at->second];
  if (std::none_of(group.members.begin(), group.members.end(),
                   [&](const Member& m) { return m.local == local; })) {
    group.members.push_back({.local = std::string(local), .kind = kind});
  }
  route.groups.push_back(at->second);
}

// Where `name`, the next name of a local path of `kind`, lands in the host
// folder `host`: on the entry of its own spelling where the host lists one
// of its kind (`exact`), on the other kind of the same spelling (a changed
// type, on any host), else where the host's lookup says.
Landing land_name(Planner& plan, const std::string& host, std::string_view name,
                  Kind kind, bool& exact) {
  const std::string path = joined(host, name);
  const bool as_file = find_file(plan.host_map, path) != nullptr;
  const bool as_folder = plan.host_folders.contains(path);
  exact = kind == Kind::REGULAR ? as_file : as_folder;
  if (!as_file && !as_folder) {
    return land(plan.landings, host, name);
  }
  return {.outcome = Outcome::FOUND,
          .name = std::string(name),
          .kind = as_file ? Kind::REGULAR : Kind::FOLDER};
}

// Follows the path of the missing local file `entry` from the host root.
Route follow(Planner& plan, std::size_t entry) {
  const std::string_view path = plan.result.entries[entry].rel_path;
  Route route{.entry = entry};
  bool renamed = false;  // a name so far was reached by a lookup
  bool exact = false;
  for (std::size_t depth = 1, count = depth_of(path); depth <= count; ++depth) {
    const std::string_view local = leading(path, depth);
    const Kind kind = depth == count ? Kind::REGULAR : Kind::FOLDER;
    Landing landing =
        land_name(plan, route.host, last_name(local), kind, exact);
    if (landing.outcome != Outcome::FOUND) {
      route.end = landing.outcome == Outcome::NEW ? End::NEW : End::UNRESOLVED;
      route.depth = depth;
      for (std::string& candidate : landing.candidates) {
        plan.kept.insert(std::move(candidate));
      }
      return route;
    }
    renamed = renamed || !exact;
    std::string target = joined(route.host, landing.name);
    if (renamed) {
      reach(plan, route, target, landing.kind, depth, local, kind);
    }
    if (landing.kind != kind) {
      route.end = End::MISMATCH;
      route.depth = depth;
      return route;
    }
    route.host = std::move(target);
  }
  route.end = End::REACHED;
  route.resolved = !exact;
  return route;
}

// Adds to each group the local entry of the same path and kind, which the
// comparison matched by name, and chooses the owner: the first in byte
// order of the members of the host entry's kind, else the first of all.
void choose_owners(Planner& plan) {
  for (Group& group : plan.groups) {
    bool twin = false;
    if (group.kind == Kind::REGULAR) {
      twin = find_file(plan.local_map, group.host) != nullptr;
    } else {
      if (!plan.local_folders) {
        plan.local_folders = folders_of(plan.local_map);
      }
      twin = plan.local_folders->contains(group.host);
    }
    if (twin &&
        std::none_of(group.members.begin(), group.members.end(),
                     [&](const Member& m) { return m.local == group.host; })) {
      group.members.push_back({.local = group.host, .kind = group.kind});
    }
    std::size_t owner = NONE;
    for (std::size_t i = 0; i < group.members.size(); ++i) {
      const Member& member = group.members[i];
      const auto better = [&](std::size_t than) {
        const Member& other = group.members[than];
        if ((member.kind == group.kind) != (other.kind == group.kind)) {
          return member.kind == group.kind;
        }
        return member.local < other.local;
      };
      if (owner == NONE || better(owner)) {
        owner = i;
      }
    }
    group.owner = owner;
  }
}

// Whether `member` of `group` cannot have the host entry: files other than
// the owner, and anything of another kind than a folder owner; folders of a
// folder share it.
bool is_taken(const Group& group, const Member& member) {
  const Member& owner = group.members[group.owner];
  if (member.kind == Kind::FOLDER && owner.kind == Kind::FOLDER) {
    return false;
  }
  return member.local != owner.local;
}

// The path that the host entry `host` (as listed) has once every group
// above and at it has the name of its owner.
std::string final_path(const Planner& plan, std::string_view host) {
  if (plan.groups.empty()) {
    return std::string(host);
  }
  std::string path;
  for (std::size_t depth = 1, count = depth_of(host); depth <= count; ++depth) {
    const std::string_view listed = leading(host, depth);
    const auto group = plan.group_of.find(std::string(listed));
    const std::string_view name =
        group == plan.group_of.end()
            ? last_name(listed)
            : last_name(plan.groups[group->second]
                            .members[plan.groups[group->second].owner]
                            .local);
    path = joined(path, name);
  }
  return path;
}

void add_rename(Planner& plan, const Group& group) {
  const std::string_view from = last_name(group.host);
  const std::string_view to = last_name(group.members[group.owner].local);
  if (from != to && !plan.names.listed_otherwise) {
    plan.result.renames.push_back(
        {.rel_path = final_path(plan, group.host), .from = std::string(from)});
  }
}

// Settles the missing local file of `route`. Returns whether its entry
// stays; sets `paired` to the host file it owns, if any.
bool settle(Planner& plan, const Route& route, const FileTime*& paired) {
  DiffEntry& entry = plan.result.entries[route.entry];
  for (const std::size_t index : route.groups) {
    const Group& group = plan.groups[index];
    const std::size_t depth = group.depth;
    const Member member{.local = std::string(leading(entry.rel_path, depth)),
                        .kind = depth == depth_of(entry.rel_path)
                                    ? Kind::REGULAR
                                    : Kind::FOLDER};
    if (is_taken(group, member)) {
      entry.type = TAKEN;
      entry.taken_at = static_cast<std::uint16_t>(depth);
      return true;
    }
  }
  if (route.end == End::UNRESOLVED) {
    entry.type = TAKEN;
    entry.taken_at = static_cast<std::uint16_t>(route.depth);
    return true;
  }
  if (route.end != End::REACHED) {
    return true;  // new, or in place of a host entry of another kind
  }
  const FileTime* host = find_file(plan.host_map, route.host);
  paired = host;
  if (entry.time > host->time) {
    entry.type = NEWER;
    return true;
  }
  if ((route.resolved || plan.names.listed_otherwise) &&
      entry.size != host->size) {
    entry.type = REPLACED;
    return true;
  }
  if (route.resolved) {
    add_rename(plan, plan.groups[route.groups.back()]);
  }
  return false;
}

// A local file that the comparison matched by name, but whose host file
// another local name owns, becomes TAKEN; adds its path to `taken`.
void take_twins(Planner& plan, std::vector<DiffEntry>& added,
                std::unordered_set<std::string_view>& taken) {
  std::unordered_map<std::string_view, std::size_t> newer;
  for (const Group& group : plan.groups) {
    const Member& owner = group.members[group.owner];
    if (group.kind != Kind::REGULAR || owner.local == group.host ||
        find_file(plan.local_map, group.host) == nullptr) {
      continue;
    }
    if (newer.empty()) {
      for (std::size_t i = 0; i < plan.result.entries.size(); ++i) {
        if (plan.result.entries[i].type == NEWER) {
          newer.emplace(plan.result.entries[i].rel_path, i);
        }
      }
    }
    const auto taken_at = static_cast<std::uint16_t>(group.depth);
    taken.insert(group.host);
    if (const auto at = newer.find(group.host); at != newer.end()) {
      plan.result.entries[at->second].type = TAKEN;
      plan.result.entries[at->second].taken_at = taken_at;
      continue;
    }
    const FileTime* local = find_file(plan.local_map, group.host);
    added.push_back({.rel_path = group.host,
                     .type = TAKEN,
                     .taken_at = taken_at,
                     .size = local->size,
                     .time = local->time});
  }
}

// Whether the host path `path` is `kept` or lies below one that is.
bool under_kept(const Planner& plan, std::string_view path) {
  for (std::size_t depth = 1, count = depth_of(path); depth <= count; ++depth) {
    if (plan.kept.contains(std::string(leading(path, depth)))) {
      return true;
    }
  }
  return false;
}

void recount(CompareResult& result) {
  result.newer_count = 0;
  result.missing_count = 0;
  result.deleted_count = 0;
  for (const DiffEntry& entry : result.entries) {
    result.newer_count += entry.type == NEWER || entry.type == REPLACED ? 1 : 0;
    result.missing_count +=
        entry.type == MISSING || entry.type == TAKEN ? 1 : 0;
    result.deleted_count += entry.type == DELETED ? 1 : 0;
  }
  result.unchanged_count =
      result.local_total - result.newer_count - result.missing_count;
}

// On a host that lists names in another spelling than it keeps them, a
// file matched by name may hold another file's content: one of another
// size is copied anew, unless it is `taken`.
void replace_other_sizes(Planner& plan, std::vector<DiffEntry>& added,
                         const std::unordered_set<std::string_view>& taken) {
  for (const FileTime& local : plan.local_map.files) {
    const FileTime* host = find_file(plan.host_map, local.key);
    if (host != nullptr && host->size != local.size &&
        !taken.contains(local.key) && local.time <= host->time) {
      added.push_back({.rel_path = std::string(local.key),
                       .type = REPLACED,
                       .size = local.size,
                       .time = local.time});
    }
  }
}

// Settles each route's entry, marking in `dropped` those that leave the
// plan; returns the host files paired with a local file.
std::unordered_set<std::string_view> settle_routes(Planner& plan,
                                                   std::vector<bool>& dropped) {
  std::unordered_set<std::string_view> paired;
  for (const Route& route : plan.routes) {
    const FileTime* host = nullptr;
    dropped[route.entry] = !settle(plan, route, host);
    if (host != nullptr) {
      paired.insert(host->key);
    }
  }
  for (const Group& group : plan.groups) {
    if (group.kind == Kind::FOLDER &&
        group.members[group.owner].kind == Kind::FOLDER) {
      add_rename(plan, group);
    }
  }
  return paired;
}

// Gives the new names of the routes their waves.
void order_new_names(Planner& plan) {
  std::vector<NewPath> paths;
  for (const Route& route : plan.routes) {
    if (route.end == End::NEW &&
        plan.result.entries[route.entry].type == MISSING) {
      paths.push_back(
          {.entry = route.entry, .host = route.host, .depth = route.depth});
    }
  }
  set_waves(plan.result.entries, paths);
}

// Host files paired with a local file, or that a local name may land on,
// are not deleted; the others are named as they will be called.
void settle_deletions(Planner& plan,
                      const std::unordered_set<std::string_view>& paired,
                      std::vector<bool>& dropped) {
  for (std::size_t i = 0; i < plan.result.entries.size(); ++i) {
    DiffEntry& entry = plan.result.entries[i];
    if (entry.type != DELETED) {
      continue;
    }
    if (paired.contains(entry.rel_path) ||
        (!plan.kept.empty() && under_kept(plan, entry.rel_path))) {
      dropped[i] = true;
    } else if (!plan.groups.empty()) {
      entry.rel_path = final_path(plan, entry.rel_path);
    }
  }
}

// The entries not `dropped` and the `added` ones: copies in their waves,
// then the deletions.
std::vector<DiffEntry> ordered(std::vector<DiffEntry>& entries,
                               const std::vector<bool>& dropped,
                               std::vector<DiffEntry>& added) {
  std::vector<DiffEntry> kept;
  kept.reserve(entries.size() + added.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!dropped[i]) {
      kept.push_back(std::move(entries[i]));
    }
  }
  const auto not_deleted = [](const DiffEntry& entry) {
    return entry.type != DELETED;
  };
  const auto deletions =
      std::stable_partition(kept.begin(), kept.end(), not_deleted);
  const auto copies_end =
      kept.insert(deletions, std::make_move_iterator(added.begin()),
                  std::make_move_iterator(added.end())) +
      static_cast<std::ptrdiff_t>(added.size());
  if (std::any_of(kept.begin(), copies_end,
                  [](const DiffEntry& entry) { return entry.wave > 0; })) {
    std::stable_sort(
        kept.begin(), copies_end,
        [](const DiffEntry& a, const DiffEntry& b) { return a.wave < b.wave; });
  }
  return kept;
}

}  // namespace

void plan_spellings(CompareResult& result, const FileTimeMap& local_map,
                    const FileTimeMap& host_map, const LookUp& look_up,
                    const HostNames& names) {
  if (result.missing_count == 0 && !names.listed_otherwise) {
    return;
  }
  Planner plan{.result = result,
               .local_map = local_map,
               .host_map = host_map,
               .names = names,
               .landings = {.host_map = host_map, .look_up = look_up}};
  if (result.missing_count > 0) {
    plan.host_folders = folders_of(host_map);
    for (std::size_t i = 0; i < result.entries.size(); ++i) {
      if (result.entries[i].type == MISSING) {
        plan.routes.push_back(follow(plan, i));
      }
    }
  }
  choose_owners(plan);
  std::vector<bool> dropped(result.entries.size(), false);
  const std::unordered_set<std::string_view> paired =
      settle_routes(plan, dropped);
  std::vector<DiffEntry> added;
  std::unordered_set<std::string_view> taken;
  take_twins(plan, added, taken);
  if (names.listed_otherwise) {
    replace_other_sizes(plan, added, taken);
  }
  if (names.may_ignore_case) {
    order_new_names(plan);
  }
  settle_deletions(plan, paired, dropped);
  result.entries = ordered(result.entries, dropped, added);
  std::stable_sort(result.renames.begin(), result.renames.end(),
                   [](const Rename& a, const Rename& b) {
                     return depth_of(a.rel_path) < depth_of(b.rel_path);
                   });
  recount(result);
}
