// The run's marker: one file made and removed by name in the held host
// root, and one status query under other letter case.
#include "marker.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>

#include "interrupt.hpp"
#include "rel_path.hpp"

namespace {

bool same_letters(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

// Whether `rel` is the marker: in the root, under its name in any case.
bool is_marker(const Marker& marker, std::string_view rel) {
  return !marker.name.empty() && same_letters(rel, marker.name);
}

// Whether the run that `.kelvoda-<pid>-...` names is still running; a name
// without a number counts as running, so nothing of another's is touched.
bool still_running(std::string_view name) {
  name.remove_prefix(name.find('-') + 1);
  int pid = 0;
  const auto [end, ec] =
      std::from_chars(name.data(), name.data() + name.size(), pid);
  return ec != std::errc() || pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH;
}

}  // namespace

Marker make_marker(const UniqueFd* held) {
  if (held == nullptr) {
    return {};
  }
  // Readable where it may be, so that its times can be given back.
  Marker marker{.root = UniqueFd(openat(held->get(), ".",
                                        O_RDONLY | O_DIRECTORY | O_CLOEXEC))};
  if (!marker.root.valid()) {
    marker.root.reset(
        openat(held->get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  struct stat st {};
  if (!marker.root.valid() || fstat(marker.root.get(), &st) != 0) {
    return marker;
  }
  marker.accessed = st.st_atim;
  marker.modified = st.st_mtim;
  // Capitals, so that a host listing small letters shows it otherwise.
  const std::string name =
      ".kelvoda-" + std::to_string(getpid()) + "-Marke.tmp";
  marker.hidden =
      register_hidden(marker.root.get(), name.c_str(), Hidden::HIDDEN_FILE);
  if (!marker.hidden.valid()) {
    return marker;
  }
  const UniqueFd file(openat(marker.root.get(), name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!file.valid()) {
    marker.hidden.reset();
    return marker;
  }
  marker.name = name;
  return marker;
}

bool holds_marker(const Marker& marker,
                  const std::vector<std::string>& run_entries) {
  return std::any_of(
      run_entries.begin(), run_entries.end(), [&](const std::string& rel) {
        const std::size_t slash = rel.rfind('/');
        return !marker.name.empty() && slash != std::string::npos &&
               same_letters(rel.substr(slash + 1), marker.name);
      });
}

HostNames host_names(const Marker& marker,
                     const std::vector<std::string>& run_entries) {
  HostNames names;
  if (marker.name.empty()) {
    return names;
  }
  for (const std::string& rel : run_entries) {
    if (is_marker(marker, rel)) {
      names.listed_otherwise = rel != marker.name;
    }
  }
  std::string other = marker.name;
  for (char& c : other) {
    const auto letter = static_cast<unsigned char>(c);
    c = static_cast<char>(std::isupper(letter) != 0 ? std::tolower(letter)
                                                    : std::toupper(letter));
  }
  struct stat st {};
  names.may_ignore_case =
      fstatat(marker.root.get(), other.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  return names;
}

std::vector<std::string> leftovers(const Marker& marker,
                                   std::vector<std::string> run_entries) {
  std::erase_if(run_entries,
                [&](const std::string& rel) { return is_marker(marker, rel); });
  return run_entries;
}

bool remove_leftovers(FolderChain& host,
                      const std::vector<std::string>& leftovers) {
  bool removed = false;
  for (const std::string& rel : leftovers) {
    const std::string_view name = last_name(rel);
    if (still_running(name) ||
        open_folders(host, folder_of(rel), Create::NO) != 0) {
      continue;
    }
    const std::string text(name);
    const int at = deepest_fd(host);
    if (unlinkat(at, text.c_str(), 0) == 0 ||
        (errno == EISDIR && remove_tree(at, text.c_str()))) {
      removed = true;
    }
  }
  return removed;
}

void remove_marker(Marker& marker) {
  if (!marker.name.empty()) {
    unlinkat(marker.root.get(), marker.name.c_str(), 0);
    marker.hidden.reset();
    marker.name.clear();
    // Other tools (rsync -a) compare folder times; the marker's coming and
    // going leaves no trace. A host that refuses keeps the new time.
    const timespec times[2] = {marker.accessed, marker.modified};
    futimens(marker.root.get(), times);
  }
  marker.root.reset();
}
