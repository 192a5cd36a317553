// Walks directory trees with a few threads at once; each thread's walk
// holds one open folder per level, and every regular file costs one status
// query.
#include "scan.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <span>
#include <system_error>
#include <vector>

#include "file_map.hpp"
#include "folders.hpp"
#include "messages.hpp"
#include "pool.hpp"

namespace {

// Files a walk finds before it stores them in its tree's map at once.
constexpr std::size_t BATCH_FILES = 256;

std::string system_text(int error) {
  return std::generic_category().message(error);
}

// One tree's walk, shared by the threads that walk its folders.
struct TreeWalk {
  const std::string& root;
  int held = -1;  // the root, held open by the caller; -1: open it by path
  Tree tree = Tree::LOCAL;
  Console& console;
  FolderWatch* watch = nullptr;
  TreeWalk* stops = nullptr;  // the walk that ends early when this one fails
  // The root's absolute path as the kernel names it, with a final '/';
  // empty when it can't tell.
  std::string canonical_root = {};
  std::mutex storing = {};  // guards `map`, `error` and `run_entries`
  FileTimeMap map = {};     // in the order the batches came, not indexed
  std::string error = {};   // the message of the first failure
  std::vector<std::string> run_entries = {};
  std::atomic<bool> ended = false;  // failed, or the walk it waits on did
  // It failed for want of descriptors, which walking alone may spare.
  std::atomic<bool> out_of_files = false;
  std::atomic<bool> seen = false;        // entered the folder `watch` names
  std::atomic<std::uint64_t> files = 0;  // for the status line
  std::atomic<std::uint64_t> folders = 0;
  // The status line is told in turn, so that its counts never go back.
  std::mutex telling = {};
  bool shared = false;  // more than one thread walked it
};

// A file found and not yet stored: its key, the next `length` bytes of the
// walk's `keys`, and its time and size.
struct FoundFile {
  std::uint32_t length = 0;
  std::int64_t time = 0;
  std::uint64_t size = 0;
};

// Whose path a found file is keyed by: its own, or, for a link, that of its
// target inside the tree, which the walk meets under that key as well.
enum class KeyOf { ENTRY, TARGET };

// One thread's walk of one subtree.
struct Walk {
  TreeWalk& tree;
  Pool& pool;
  Subtree& subtree;
  std::string rel = {};      // path of the current entry below the root
  std::string current = {};  // the last entry handed out, for the message
  std::uint64_t found = 0;   // files found so far, in walk order
  std::uint64_t untold = 0;  // files the status line does not count yet
  std::string keys = {};
  std::vector<FoundFile> batch = {};
};

// Whether the walk is to end: its tree's walk failed, or the other one did.
bool ended(const Walk& walk) {
  return walk.tree.ended.load(std::memory_order_relaxed);
}

// The entry's path as walked: the root text joined with the relative path.
std::string full_path(const std::string& root, const std::string& rel) {
  if (root.empty() || root.back() == '/') {
    return root + rel;
  }
  return root + '/' + rel;
}

// Records `message` as the walk's failure unless it failed before, and ends
// it and the walk it stops.
void fail(TreeWalk& tree, std::string message) {
  {
    const std::lock_guard lock(tree.storing);
    if (tree.error.empty()) {
      tree.error = std::move(message);
    }
  }
  tree.ended = true;
  if (tree.stops != nullptr) {
    tree.stops->ended = true;
  }
}

// Records the failure to go on from the entry `current`.
void fail_advance(TreeWalk& tree, const std::string& current, int error) {
  if (error == EMFILE || error == ENFILE) {
    tree.out_of_files = true;
  }
  const std::string path = shown(tree.console, Stream::ERR,
                                 quoted_form(full_path(tree.root, current)));
  // Not the folder's fault: the tree is deeper than the limit lets the walk
  // hold its folders.
  const std::string what =
      error == EMFILE ? "FEHLER: Das Limit für offene Dateien (ulimit -n) "
                        "reicht nicht für die Tiefe bei "
                      : "FEHLER: Zugriff verweigert bei ";
  fail(tree, what + path + " (" + system_text(error) + ")\n\n");
}

// Records the failure to read the time of `path`.
void fail_time(TreeWalk& tree, const std::string& path) {
  fail(tree, "FEHLER: Konnte Meta-Daten der Änderungszeit nicht lesen: " +
                 shown(tree.console, Stream::ERR, quoted_form(path)) + "\n");
}

bool is_skipped(std::string_view name) {
  return std::find(SKIPPED_DIR_NAMES.begin(), SKIPPED_DIR_NAMES.end(), name) !=
         SKIPPED_DIR_NAMES.end();
}

// The absolute path of the open file `fd`, as the kernel names it; empty
// when it can't tell (no /proc, or a path beyond PATH_MAX).
std::string path_of(int fd) {
  std::array<char, 32> link{};
  std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", fd);
  std::string path(PATH_MAX, '\0');
  const ssize_t length = readlink(link.data(), path.data(), path.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= path.size() ||
      path[0] != '/') {
    return {};
  }
  path.resize(static_cast<std::size_t>(length));
  return path;
}

// The key that `walk.rel`, a link in the open folder `folder_fd`, gets by
// its text: resolved by name against the link's folder, and taken only when
// that path leads through real folders to the very file `target` that the
// link reaches. Empty when it doesn't, or when the text leaves the tree.
std::string key_by_text(Walk& walk, int folder_fd, const char* name,
                        const struct stat& target) {
  std::string text(PATH_MAX, '\0');
  const ssize_t length = readlinkat(folder_fd, name, text.data(), text.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= text.size() ||
      text[0] == '/') {
    return {};
  }
  text.resize(static_cast<std::size_t>(length));
  std::string key = walk.rel.substr(0, walk.rel.rfind('/') + 1);
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t slash = std::min(rest.find('/'), rest.size());
    const std::string_view part = rest.substr(0, slash);
    rest.remove_prefix(std::min(slash + 1, rest.size()));
    if (part == ".." && key.empty()) {
      return {};
    }
    if (part == "..") {
      key.pop_back();
      key.resize(key.rfind('/') + 1);
    } else if (!part.empty() && part != ".") {
      key.append(part) += '/';
    }
  }
  if (key.empty()) {
    return {};
  }
  key.pop_back();
  const std::size_t slash = key.rfind('/');
  FolderChain folders{.root = walk.tree.root};
  struct stat st {};
  const std::string last = key.substr(slash + 1);
  if (open_folders(folders,
                   std::string_view(key).substr(
                       0, slash == std::string::npos ? 0 : slash),
                   Create::NO) != 0 ||
      fstatat(deepest_fd(folders), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) !=
          0 ||
      !S_ISREG(st.st_mode) || st.st_dev != target.st_dev ||
      st.st_ino != target.st_ino) {
    return {};
  }
  return key;
}

// The key of the link `name` in the open folder `folder_fd` to a regular
// file, open as `target` with status `st`: the target relative to the root
// when it lies inside the tree and outside the skipped folders, otherwise
// the link's own path, so that no key ever leads out of the tree or into a
// folder the other side never scans. The paths are read from the open
// handles, or beyond PATH_MAX found from the link's text; where neither
// tells, the run ends: the link's host copy would otherwise count as
// host-only and be deleted.
std::string link_key(Walk& walk, int folder_fd, const char* name, int target,
                     const struct stat& st) {
  const std::string resolved = path_of(target);
  const std::string& prefix = walk.tree.canonical_root;
  std::string key;
  if (resolved.empty() || prefix.empty()) {
    key = key_by_text(walk, folder_fd, name, st);
    if (key.empty()) {
      fail_time(walk.tree, full_path(walk.tree.root, walk.rel));
    }
  } else {
    if (resolved.size() <= prefix.size() ||
        resolved.compare(0, prefix.size(), prefix) != 0) {
      return walk.rel;
    }
    key = resolved.substr(prefix.size());
  }
  std::string_view rest = key;
  for (std::size_t slash = rest.find('/'); slash != std::string_view::npos;
       slash = rest.find('/')) {
    if (is_skipped(rest.substr(0, slash))) {
      return walk.rel;
    }
    rest.remove_prefix(slash + 1);
  }
  return key;
}

// Stores the files found since the last batch in the tree's map, as one run
// of the subtree's files.
void store_batch(Walk& walk) {
  if (walk.batch.empty()) {
    return;
  }
  FileRun run{.count = walk.batch.size()};
  {
    const std::lock_guard lock(walk.tree.storing);
    FileTimeMap& map = walk.tree.map;
    run.first = map.files.size();
    std::string_view keys = walk.keys;
    for (const FoundFile& file : walk.batch) {
      append_file_time(map, keys.substr(0, file.length), file.time, file.size);
      keys.remove_prefix(file.length);
    }
  }
  std::vector<FileRun>& runs = walk.subtree.runs;
  if (!runs.empty() && runs.back().first + runs.back().count == run.first) {
    runs.back().count += run.count;
  } else {
    runs.push_back(run);
  }
  walk.batch.clear();
  walk.keys.clear();
}

// Adds the file `key` with the time and size of `st` to the walk's batch.
void keep_file(Walk& walk, std::string_view key, const struct stat& st,
               KeyOf key_of) {
  if (walk.batch.empty()) {
    walk.batch.reserve(BATCH_FILES);
  }
  walk.keys.append(key);
  walk.batch.push_back({.length = static_cast<std::uint32_t>(key.size()),
                        .time = st.st_mtim.tv_sec,
                        .size = static_cast<std::uint64_t>(st.st_size)});
  ++walk.found;
  if (key_of == KeyOf::ENTRY) {
    ++walk.untold;
  }
  if (walk.batch.size() == BATCH_FILES) {
    store_batch(walk);
  }
}

// Shows the tree's counts on the status line, with the files this walk
// found since it last did. Called as a folder is entered and as its listing
// ends: threads that share the walk enter folders in bursts.
void tell_counts(Walk& walk) {
  TreeWalk& tree = walk.tree;
  tree.files.fetch_add(std::exchange(walk.untold, 0),
                       std::memory_order_relaxed);
  if (tree.console.status == nullptr) {
    return;
  }
  // A thread that finds another one telling leaves the line to it.
  const std::unique_lock lock(tree.telling, std::try_to_lock);
  if (lock.owns_lock()) {
    status_scan(tree.console, tree.tree,
                tree.files.load(std::memory_order_relaxed),
                tree.folders.load(std::memory_order_relaxed));
  }
}

void walk_folder(Walk& walk, DIR* folder);

// Enters the folder `name` below the open folder `parent_fd`, whose entry is
// the current one, or hands it on to a thread that waits for work.
void enter_folder(Walk& walk, int parent_fd, const char* name) {
  const int fd =
      openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    fail_advance(walk.tree, walk.current, errno);
    return;
  }
  Listing listing(fdopendir(fd));
  if (listing == nullptr) {
    const int error = errno;
    close(fd);
    fail_advance(walk.tree, walk.current, error);
    return;
  }
  const FolderWatch* watch = walk.tree.watch;
  if (watch != nullptr && !walk.tree.seen.load(std::memory_order_relaxed)) {
    // Where the folder's identity can't be read, count it as the watched
    // one: a run that can't rule out nested trees must not go on.
    struct stat st;
    if (fstat(fd, &st) != 0 ||
        (st.st_dev == watch->dev && st.st_ino == watch->ino)) {
      walk.tree.seen = true;
    }
  }
  walk.tree.folders.fetch_add(1, std::memory_order_relaxed);
  tell_counts(walk);
  if (hand_on(walk.pool, walk.subtree, walk.found, listing, walk.rel)) {
    return;
  }
  walk_folder(walk, listing.get());
}

// The entry's type after links are followed as far as the listing tells;
// DT_UNKNOWN entries are asked without following, so a link still takes the
// link path. Returns DT_UNKNOWN for an entry gone since the listing, and for
// a regular file fills `st`.
unsigned char entry_type(Walk& walk, int folder_fd, const char* name,
                         unsigned char listed, struct stat& st) {
  if (listed != DT_UNKNOWN) {
    return listed;
  }
  if (fstatat(folder_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    // Gone since the listing: nothing to record. Any other failure must
    // end the run: a file left out of the map would be deleted from the
    // host.
    if (errno != ENOENT) {
      fail_time(walk.tree, full_path(walk.tree.root, walk.rel));
    }
    return DT_UNKNOWN;
  }
  return S_ISDIR(st.st_mode)   ? DT_DIR
         : S_ISREG(st.st_mode) ? DT_REG
         : S_ISLNK(st.st_mode) ? DT_LNK
                               : DT_UNKNOWN;
}

// Records the link `name` of the open folder `folder_fd` where it leads to a
// regular file. Links to folders are never entered; dangling links, loops
// and links to special files are passed over.
void visit_link(Walk& walk, int folder_fd, const char* name) {
  const UniqueFd target(openat(folder_fd, name, O_PATH | O_CLOEXEC));
  if (!target.valid()) {
    // Without a descriptor to spare, a link can't be told from a dangling
    // one; passed over, its host copy would count as host-only.
    if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) {
      walk.tree.out_of_files = errno != ENOMEM;
      fail_time(walk.tree, full_path(walk.tree.root, walk.rel));
    }
    return;
  }
  struct stat st;
  if (fstat(target.get(), &st) == 0 && S_ISREG(st.st_mode)) {
    const std::string key = link_key(walk, folder_fd, name, target.get(), st);
    keep_file(walk, key, st, key == walk.rel ? KeyOf::ENTRY : KeyOf::TARGET);
  }
}

// Records or enters the entry `name` of the open folder `folder_fd`, whose
// path below the root is `walk.rel`.
void visit_entry(Walk& walk, int folder_fd, const char* name,
                 unsigned char listed) {
  struct stat st;
  switch (entry_type(walk, folder_fd, name, listed, st)) {
    case DT_DIR:
      if (!is_skipped(name)) {
        enter_folder(walk, folder_fd, name);
      }
      return;
    case DT_REG:
      if (listed != DT_UNKNOWN && fstatat(folder_fd, name, &st, 0) != 0) {
        fail_time(walk.tree, full_path(walk.tree.root, walk.rel));
        return;
      }
      keep_file(walk, walk.rel, st, KeyOf::ENTRY);
      return;
    case DT_LNK:
      visit_link(walk, folder_fd, name);
      return;
    default:
      return;
  }
}

void walk_folder(Walk& walk, DIR* folder) {
  const int folder_fd = dirfd(folder);
  while (!ended(walk)) {
    errno = 0;
    const dirent* entry = readdir(folder);
    if (entry == nullptr) {
      if (errno != 0) {
        fail_advance(walk.tree, walk.current, errno);
        return;
      }
      tell_counts(walk);
      return;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      continue;
    }
    const std::size_t mark = walk.rel.size();
    if (mark != 0) {
      walk.rel += '/';
    }
    walk.rel += name;
    walk.current = walk.rel;
    if (is_run_entry(name)) {
      const std::lock_guard lock(walk.tree.storing);
      walk.tree.run_entries.push_back(walk.rel);
    } else {
      visit_entry(walk, folder_fd, name, entry->d_type);
    }
    walk.rel.resize(mark);
  }
}

// Walks the folders of `subtree`, unless its tree's walk has ended.
void walk_subtree(TreeWalk& tree, Pool& pool, Subtree& subtree) {
  const Listing listing = std::move(subtree.listing);
  if (tree.ended.load(std::memory_order_relaxed)) {
    return;
  }
  Walk walk{.tree = tree,
            .pool = pool,
            .subtree = subtree,
            .rel = subtree.rel,
            .current = subtree.rel};
  walk_folder(walk, listing.get());
  store_batch(walk);
}

// Opens the root of `tree` for its walk; records the failure and returns
// none where that fails.
Listing open_root(TreeWalk& tree) {
  // The folder held is the one walked, whatever its path names by now.
  const int fd =
      tree.held >= 0
          ? openat(tree.held, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
          : open(tree.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const std::string error = system_text(errno);
    fail(tree, "FEHLER beim Durchsuchen des Verzeichnisses: '" +
                   shown(tree.console, Stream::ERR, tree.root) + "' (" + error +
                   ")\n\n");
    return nullptr;
  }
  tree.canonical_root = path_of(fd);
  if (!tree.canonical_root.empty() && tree.canonical_root.back() != '/') {
    tree.canonical_root += '/';
  }
  Listing listing(fdopendir(fd));
  if (listing == nullptr) {
    const int error = errno;
    close(fd);
    fail_advance(tree, "", error);
  }
  return listing;
}

// Leaves the map of the walk `tree` in walk order and indexed, or empty
// where the walk ended early.
void finish_walk(TreeWalk& tree, const Subtree* top) {
  if (tree.watch != nullptr && tree.seen) {
    tree.watch->seen = true;
  }
  tree.shared = top != nullptr && !top->below.empty();
  if (tree.ended) {
    tree.map = FileTimeMap{};
    return;
  }
  std::vector<std::uint32_t> order;
  if (tree.shared) {
    const std::size_t count = tree.map.files.size();
    order.reserve(index_size(count));
    walk_order(*top, order);
    assert(order.size() == count && "every stored file has its place");
  }
  index_file_times(tree.map, std::move(order));
}

// Walks the trees `trees` at once with `threads` threads in all, the first
// tree's first; each ends with its map, or with its error and an empty map.
void walk_together(std::span<TreeWalk* const> trees, std::size_t threads) {
  Pool pool;
  std::vector<Listing> roots;
  for (TreeWalk* tree : trees) {
    tree->seen = tree->watch != nullptr && tree->watch->seen;
    roots.push_back(tree->ended ? nullptr : open_root(*tree));
  }
  std::vector<const Subtree*> tops(trees.size(), nullptr);
  for (std::size_t index = trees.size(); index-- > 0;) {
    if (roots[index] != nullptr) {
      tops[index] = &add_root(pool, std::move(roots[index]), index);
    }
  }
  run_pool(pool, threads, [&pool, trees](Subtree& subtree) {
    walk_subtree(*trees[subtree.tree], pool, subtree);
  });
  for (std::size_t index = 0; index < trees.size(); ++index) {
    finish_walk(*trees[index], tops[index]);
  }
}

// A walk's map, or the message of its failure, and the hidden entries of
// runs it passed over.
struct ScanResult {
  FileTimeMap map = {};
  std::string error = {};  // empty when the walk succeeded
  std::vector<std::string> run_entries = {};
};

ScanResult result_of(TreeWalk& tree) {
  return {.map = std::move(tree.map),
          .error = std::move(tree.error),
          .run_entries = std::move(tree.run_entries)};
}

// Walks the tree at `root` with `threads` threads. Where a walk that threads
// shared fails, or one of several threads runs short of descriptors, walks
// the tree again with one thread: the failure told is then the one a walk
// in order meets first, named as that walk names it.
ScanResult walk_alone(const std::string& root, int held, Console& console,
                      Tree tree, FolderWatch* watch, std::size_t threads) {
  for (;;) {
    TreeWalk walk{.root = root,
                  .held = held,
                  .tree = tree,
                  .console = console,
                  .watch = watch};
    TreeWalk* const trees[] = {&walk};
    walk_together(trees, threads);
    if (walk.error.empty() || threads == 1 ||
        !(walk.shared || walk.out_of_files)) {
      return result_of(walk);
    }
    threads = 1;
  }
}

[[noreturn]] void fail_scan(Console& console, const std::string& message) {
  say(console, Stream::ERR, message);
  std::exit(1);
}

}  // namespace

bool is_run_entry(std::string_view name) {
  constexpr std::string_view PREFIX = ".kelvoda-";
  constexpr std::string_view SUFFIX = ".tmp";
  const auto same = [](std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) {
                        return std::tolower(static_cast<unsigned char>(x)) ==
                               std::tolower(static_cast<unsigned char>(y));
                      });
  };
  if (name.size() < PREFIX.size() + SUFFIX.size() + 2 ||
      !same(name.substr(0, PREFIX.size()), PREFIX) ||
      !same(name.substr(name.size() - SUFFIX.size()), SUFFIX)) {
    return false;
  }
  name.remove_prefix(PREFIX.size());
  const std::size_t digits = name.find_first_not_of("0123456789");
  return digits > 0 && digits != std::string_view::npos && name[digits] == '-';
}

FileTimeMap scan_directory(const std::string& root, Console& console, Tree tree,
                           FolderWatch* watch) {
  ScanResult scan = walk_alone(root, -1, console, tree, watch, walk_threads());
  if (!scan.error.empty()) {
    fail_scan(console, scan.error);
  }
  return std::move(scan.map);
}

FileTimeMap scan_directory(const std::string& root) {
  Console plain;
  return scan_directory(root, plain);
}

TreeScans walk_both(const std::string& local_root, const std::string& host_root,
                    Console& console, FolderWatch* local_watch,
                    FolderWatch* host_watch, std::size_t threads,
                    const HeldRoots& held) {
  const int local_held = held.local != nullptr ? held.local->get() : -1;
  const int host_held = held.host != nullptr ? held.host->get() : -1;
  TreeWalk local{.root = local_root,
                 .held = local_held,
                 .tree = Tree::LOCAL,
                 .console = console,
                 .watch = local_watch};
  TreeWalk host{.root = host_root,
                .held = host_held,
                .tree = Tree::HOST,
                .console = console,
                .watch = host_watch};
  // The local tree's failure is told first, as if the trees were walked one
  // after the other; the host's walk then ends early.
  local.stops = &host;
  TreeWalk* const trees[] = {&local, &host};
  walk_together(trees, threads);
  ScanResult local_scan = local.error.empty() || !local.shared
                              ? result_of(local)
                              : walk_alone(local_root, local_held, console,
                                           Tree::LOCAL, local_watch, 1);
  if (!local_scan.error.empty()) {
    return {.error = std::move(local_scan.error)};
  }
  ScanResult host_scan;
  if (host.ended && host.error.empty()) {
    // Ended for a local failure that a walk in order did not meet again.
    host_scan = walk_alone(host_root, host_held, console, Tree::HOST,
                           host_watch, threads);
  } else if (!host.error.empty() && (host.shared || host.out_of_files)) {
    host_scan =
        walk_alone(host_root, host_held, console, Tree::HOST, host_watch, 1);
  } else {
    host_scan = result_of(host);
  }
  if (!host_scan.error.empty()) {
    return {.error = std::move(host_scan.error)};
  }
  return {.local = std::move(local_scan.map),
          .host = std::move(host_scan.map),
          .local_run_entries = std::move(local_scan.run_entries),
          .host_run_entries = std::move(host_scan.run_entries)};
}

TreeScans scan_both(const std::string& local_root, const std::string& host_root,
                    Console& console, FolderWatch* local_watch,
                    FolderWatch* host_watch, const HeldRoots& held) {
  TreeScans scans = walk_both(local_root, host_root, console, local_watch,
                              host_watch, walk_threads(), held);
  if (!scans.error.empty()) {
    fail_scan(console, scans.error);
  }
  return scans;
}
