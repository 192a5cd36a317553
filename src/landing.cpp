// The host's listing of each folder comes from its scan; the folded names of
// a folder's entries are worked out once that folder is asked about.
#include "landing.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <unordered_set>
#include <utility>

#include "fold.hpp"
#include "folders.hpp"

namespace {

std::string_view last_name(std::string_view path) {
  return path.substr(path.rfind('/') + 1);
}

void list_children(Landings& landings) {
  std::unordered_set<std::string_view> seen;
  for (const FileTime& file : landings.host_map.files) {
    std::string_view path = file.key;
    Kind kind = Kind::REGULAR;
    for (;;) {
      const std::size_t slash = path.rfind('/');
      const std::string_view parent =
          slash == std::string_view::npos ? "" : path.substr(0, slash);
      landings.children[parent].push_back({last_name(path), kind});
      if (parent.empty() || !seen.insert(parent).second) {
        break;
      }
      path = parent;
      kind = Kind::FOLDER;
    }
  }
  landings.listed = true;
}

// The entries of the host folder `folder` whose names fold to `folded`.
const std::vector<Child>& candidates(Landings& landings,
                                     const std::string& folder,
                                     const std::string& folded) {
  static const std::vector<Child> none;
  if (!landings.listed) {
    list_children(landings);
  }
  const auto children = landings.children.find(folder);
  if (children == landings.children.end()) {
    return none;
  }
  auto [by_fold, fresh] = landings.folded.try_emplace(children->first);
  if (fresh) {
    for (const Child& child : children->second) {
      by_fold->second[fold_name(child.name)].push_back(child);
    }
  }
  const auto found = by_fold->second.find(folded);
  return found == by_fold->second.end() ? none : found->second;
}

std::string joined(const std::string& folder, std::string_view name) {
  return folder.empty() ? std::string(name) : folder + "/" + std::string(name);
}

}  // namespace

LookUp look_up_on_host(const std::string& host_root,
                       std::shared_ptr<const UniqueFd> held) {
  auto chain = std::make_shared<FolderChain>(
      FolderChain{.root = host_root, .held = std::move(held)});
  return [chain](std::string_view folder, std::string_view name) {
    struct stat st {};
    if (open_folders(*chain, folder, Create::NO) != 0 ||
        fstatat(deepest_fd(*chain), std::string(name).c_str(), &st,
                AT_SYMLINK_NOFOLLOW) != 0) {
      return Found{};
    }
    return Found{.kind = S_ISREG(st.st_mode)   ? Kind::REGULAR
                         : S_ISDIR(st.st_mode) ? Kind::FOLDER
                                               : Kind::OTHER,
                 .dev = st.st_dev,
                 .ino = st.st_ino,
                 .size = static_cast<std::uint64_t>(st.st_size),
                 .mtime_ns = std::int64_t{st.st_mtim.tv_sec} * 1000000000 +
                             st.st_mtim.tv_nsec};
  };
}

const Landing& land(Landings& landings, const std::string& folder,
                    std::string_view name) {
  std::string key = folder;
  key.append(1, '\0').append(name);
  const auto known = landings.known.find(key);
  if (known != landings.known.end()) {
    return known->second;
  }
  Landing& landing = landings.known[key];
  const Found found = landings.look_up(folder, name);
  if (found.kind == Kind::NONE) {
    return landing;
  }
  const std::vector<Child>& listed =
      candidates(landings, folder, fold_name(name));
  const Child* same = listed.size() == 1 ? listed.data() : nullptr;
  std::size_t alike = 0;
  const Child* like = nullptr;
  for (std::size_t i = 0; same == nullptr && i < listed.size(); ++i) {
    const Found other = landings.look_up(folder, listed[i].name);
    if (other.dev == found.dev && other.ino == found.ino) {
      same = &listed[i];
    } else if (other.kind == found.kind && other.size == found.size &&
               other.mtime_ns == found.mtime_ns) {
      ++alike;
      like = &listed[i];
    }
  }
  same = same != nullptr ? same : alike == 1 ? like : nullptr;
  if (same != nullptr) {
    landing = {.outcome = Outcome::FOUND,
               .name = std::string(same->name),
               .kind = same->kind};
    return landing;
  }
  if (!listed.empty()) {
    landing.outcome = Outcome::UNRESOLVED;
    for (const Child& child : listed) {
      landing.candidates.push_back(joined(folder, child.name));
    }
  }
  return landing;
}
