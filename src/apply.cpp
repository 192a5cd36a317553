// Applies the pending actions: for each entry the decision, the folders it
// needs and the messages. The host's folders stay open from one entry to
// the next, since entries come in walk order and neighbours share folders.
#include "apply.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "console.hpp"
#include "copy.hpp"

namespace fs = std::filesystem;

namespace {

std::string quoted_form(const fs::path& path) {
  std::ostringstream out;
  out << std::quoted(path.native());
  return out.str();
}

// Writes "Fehler beim <action>: <system text>" to stderr; the run goes on.
void report_failure(Console& console, const std::string& action, int error) {
  status_count(console, Counted::FAILURE);
  say(console, Stream::ERR,
      "Fehler beim " + action + ": " + std::generic_category().message(error) +
          "\n");
}

std::string join(const std::string& root, std::string_view rel) {
  return (fs::path(root) / rel).native();
}

// The folder part of a relative path ("" for a file in the root) and its
// last name.
std::pair<std::string_view, std::string> split(std::string_view rel) {
  const std::size_t slash = rel.rfind('/');
  if (slash == std::string_view::npos) {
    return {{}, std::string(rel)};
  }
  return {rel.substr(0, slash), std::string(rel.substr(slash + 1))};
}

// A folder this run made and staged (see stage_folder) until the copies
// below it are on the disk.
struct StagedFolder {
  std::shared_ptr<const UniqueFd> parent;
  std::string name;  // under which it goes in place
  int slot = -1;
  // New files below it are written under their own names until the batch
  // they are in is handed over; then it goes in place with that batch.
  bool open = true;
  int error = 0;  // why it could not be put in place
};

// A written copy waiting to be put in place: its entry, and the staged
// folder it lies below, if any.
struct WaitingCopy {
  const DiffEntry* entry;
  PendingCopy copy;
  std::shared_ptr<StagedFolder> staged;
};

// Copies written but not yet in place and the device of each one's folder;
// their bytes; per device, the result of syncing it; the staged folders
// that go in place with them.
struct Batch {
  std::vector<WaitingCopy> copies;
  std::vector<dev_t> devices;
  off_t bytes = 0;
  std::vector<std::pair<dev_t, int>> synced;  // device, error of its sync
  std::vector<std::shared_ptr<StagedFolder>> folders;
};

struct Run {
  const std::vector<DiffEntry>& entries;
  const std::string& local_root;
  const std::string& host_root;
  Console& console;
  FolderChain local;
  FolderChain host;
  CopyState copies;
  // The DELETED keys by their folded form, made when a host first treats a
  // new file's name as taken; and those whose host entry became a copy's.
  std::unordered_map<std::string, std::string_view> deleted_by_fold;
  std::unordered_set<std::string_view> taken_over;
  // The staged folders not in place, by their own descriptors, and those
  // new files are still written into.
  std::unordered_map<const UniqueFd*, std::shared_ptr<StagedFolder>> staged;
  std::vector<std::shared_ptr<StagedFolder>> open_staged;
  // The batch being written, and the one before it while a thread of its
  // own makes it durable (`syncer` running); the most copies a batch holds.
  Batch filling;
  Batch syncing;
  pthread_t syncer{};
  bool syncer_running = false;
  std::size_t batch_limit = 0;
  // A folder on each device the run wrote to, for the final sync.
  std::vector<std::pair<dev_t, std::shared_ptr<const UniqueFd>>> devices;
  bool changed = false;
};

// Hands a batch over at this many bytes of copies; two batches may wait.
constexpr off_t BATCH_BYTES = off_t{128} << 20;

void report_copy_failure(const Run& run, const DiffEntry& entry, int error) {
  report_failure(
      run.console,
      "Kopieren von " + quoted_form(join(run.local_root, entry.rel_path)) +
          " nach " + quoted_form(join(run.host_root, entry.rel_path)),
      error);
}

// The components of `rel`.
std::vector<std::string_view> components(std::string_view rel) {
  std::vector<std::string_view> parts;
  for (std::size_t begin = 0; begin <= rel.size();) {
    const std::size_t end = std::min(rel.find('/', begin), rel.size());
    parts.push_back(rel.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

// A new file whose name the host already resolves although its scan did not
// list it: the host treats two names as one. When the other name is a file
// due for deletion (a case-only rename in the local tree), the host's
// folders take the local spelling and the file is replaced under it, which
// also gives it the local spelling; its deletion is then left out.
// Otherwise the name belongs to another local file's copy, or to a file
// that appeared since the scan, and stays untouched: EEXIST. Every name is
// looked up afresh after a rename, since some drivers (exfat-fuse) keep
// each spelling's entry apart in the kernel's caches. Returns 0 or the
// error number.
int take_over_alias(Run& run, const DiffEntry& entry, std::string_view folder,
                    const std::string& name) {
  if (const int error = open_folders(run.local, folder, Create::NO);
      error != 0) {
    return error;
  }
  // A chain of its own: the run's chain may hold staged folders, which
  // cannot be opened again by their names.
  FolderChain chain{run.host_root, {}, {}, {}, 0};
  if (const int error = open_folders(chain, folder, Create::NO); error != 0) {
    return error;
  }
  if (run.deleted_by_fold.empty()) {
    for (const DiffEntry& other : run.entries) {
      if (other.type == DELETED) {
        run.deleted_by_fold.emplace(fold_key(other.rel_path), other.rel_path);
      }
    }
  }
  const auto found = run.deleted_by_fold.find(fold_key(entry.rel_path));
  if (found == run.deleted_by_fold.end() ||
      run.taken_over.contains(found->second)) {
    return EEXIST;
  }
  const std::vector<std::string_view> local = components(entry.rel_path);
  const std::vector<std::string_view> host = components(found->second);
  run.taken_over.insert(found->second);
  for (std::size_t level = 0; level + 1 < local.size(); ++level) {
    if (local[level] == host[level]) {
      continue;
    }
    // Both spellings as folders in the local tree: two folders for one.
    const std::string host_name(host[level]);
    const std::string local_name(local[level]);
    struct stat st {};
    if (fstatat(run.local.fds[level]->get(), host_name.c_str(), &st,
                AT_SYMLINK_NOFOLLOW) == 0) {
      return EEXIST;
    }
    const int parent = chain.fds[level]->get();
    if (renameat(parent, host_name.c_str(), parent, local_name.c_str()) != 0) {
      return errno;
    }
    while (chain.names.size() > level) {
      close_deepest(chain);
    }
  }
  if (const int error = open_folders(chain, folder, Create::NO); error != 0) {
    return error;
  }
  const PendingCopy where{chain.fds.back(), name, Target::REPLACE, {}, -1, 0};
  PendingCopy pending;
  const int error = write_copy(run.copies, run.local.fds.back()->get(), where,
                               pending, Sync::NOW);
  return error != 0 ? error : place_copy(pending);
}

// Makes the copies of `batch` durable: one syncfs and one fsync per device
// for all of them. syncfs writes what the kernel holds; FUSE drivers
// (exfat-fuse) keep their allocation maps to themselves until a file is
// synced.
void sync_batch(Batch& batch) {
  for (std::size_t i = 0; i < batch.copies.size(); ++i) {
    const dev_t device = batch.devices[i];
    if (std::none_of(batch.synced.begin(), batch.synced.end(),
                     [&](const auto& seen) { return seen.first == device; })) {
      const int fd = batch.copies[i].copy.file.get();
      batch.synced.emplace_back(device,
                                syncfs(fd) == 0 && fsync(fd) == 0 ? 0 : errno);
    }
  }
}

extern "C" void* sync_batch_thread(void* batch) {
  sync_batch(*static_cast<Batch*>(batch));
  return nullptr;
}

// The error of syncing the device of copy `i` of `batch`.
int sync_error(const Batch& batch, std::size_t i) {
  for (const auto& [device, error] : batch.synced) {
    if (device == batch.devices[i]) {
      return error;
    }
  }
  return 0;
}

// Puts the copies of the synced `batch` in place, so a power cut never
// leaves a name on a torn or empty file. A copy whose sync or placing fails
// gets its copy error and leaves nothing behind.
void place_batch(Run& run, Batch& batch) {
  // Copies written under their own names first leave their staged folders
  // if they failed; then the folders go in place.
  std::vector<int> errors(batch.copies.size());
  for (std::size_t i = 0; i < batch.copies.size(); ++i) {
    PendingCopy& copy = batch.copies[i].copy;
    errors[i] = sync_error(batch, i);
    if (copy.target == Target::STAGED) {
      if (errors[i] != 0) {
        discard_copy(copy);
      } else {
        errors[i] = place_copy(copy);
      }
    }
  }
  for (const std::shared_ptr<StagedFolder>& folder : batch.folders) {
    folder->error =
        place_folder(folder->parent->get(), folder->slot, folder->name);
    if (folder->error == 0) {
      // The error stays with a failed one for the copies still below it.
      std::erase_if(run.staged,
                    [&](const auto& item) { return item.second == folder; });
    }
  }
  for (std::size_t i = 0; i < batch.copies.size(); ++i) {
    auto& [entry, pending, staged] = batch.copies[i];
    int error = errors[i];
    if (error == 0 && staged != nullptr && staged->error != 0) {
      error = staged->error;
      discard_copy(pending);
    } else if (pending.target != Target::STAGED) {
      if (error != 0) {
        discard_copy(pending);
      } else {
        error = place_copy(pending);
      }
    }
    if (error == EEXIST && entry->type == MISSING &&
        pending.target != Target::STAGED) {
      const auto [folder, name] = split(entry->rel_path);
      error = take_over_alias(run, *entry, folder, name);
    }
    if (error != 0) {
      report_copy_failure(run, *entry, error);
      continue;
    }
    status_count(run.console, Counted::COPIED, entry->size);
    run.changed = true;
  }
  batch = Batch{};
}

// Ends the writing of new files into the staged folders: they go in place
// with `batch`, once it is on the disk.
void close_staged(Run& run, Batch& batch) {
  for (const std::shared_ptr<StagedFolder>& folder : run.open_staged) {
    folder->open = false;
  }
  batch.folders = std::move(run.open_staged);
  run.open_staged.clear();
}

// Waits for the batch being synced, if any, and puts it in place.
void place_synced(Run& run) {
  if (run.syncer_running) {
    pthread_join(run.syncer, nullptr);
    run.syncer_running = false;
  }
  place_batch(run, run.syncing);
}

// Starts making the full batch durable on a thread of its own, so the disk
// writes it back while the next batch is written; the batch before it goes
// in place first. Where no thread can be started, syncs it here.
void hand_over_batch(Run& run) {
  place_synced(run);
  close_staged(run, run.filling);
  std::swap(run.filling, run.syncing);
  // Interrupts stay with the main thread, whose handler removes the
  // temporary files.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  run.syncer_running = pthread_create(&run.syncer, nullptr, sync_batch_thread,
                                      &run.syncing) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!run.syncer_running) {
    sync_batch(run.syncing);
  }
}

// Puts every written copy in place, in the order they were written.
void flush_batch(Run& run) {
  place_synced(run);
  close_staged(run, run.filling);
  sync_batch(run.filling);
  place_batch(run, run.filling);
}

// Makes everything the run changed on the host durable. Returns 0 or the
// error number.
// "Done" means on the disk: the copies, deletions and removed folders of the
// run, on every file system of the host it wrote to, the root's first.
// syncfs needs a descriptor that is more than a handle; the root can be
// read, as its scan did.
int sync_host(Run& run) {
  if (const int error = open_folders(run.host, "", Create::NO); error != 0) {
    return error;
  }
  const UniqueFd root(openat(run.host.fds.front()->get(), ".",
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (!root.valid() || fstat(root.get(), &st) != 0 || syncfs(root.get()) != 0 ||
      fsync(root.get()) != 0) {
    return errno;
  }
  for (const auto& [device, folder] : run.devices) {
    if (device == st.st_dev) {
      continue;
    }
    const UniqueFd other(
        openat(folder->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!other.valid() || syncfs(other.get()) != 0 || fsync(other.get()) != 0) {
      return errno;
    }
  }
  return 0;
}

// The device of the open folder `folder`, noted for the final sync.
dev_t device_of(Run& run, const std::shared_ptr<const UniqueFd>& folder) {
  struct stat st {};
  fstat(folder->get(), &st);
  for (const auto& [device, fd] : run.devices) {
    if (device == st.st_dev) {
      return device;
    }
  }
  run.devices.emplace_back(st.st_dev, folder);
  return st.st_dev;
}

// The staged folder that the deepest folder of the host chain lies in or
// is, if any.
std::shared_ptr<StagedFolder> staged_above(const Run& run) {
  if (run.staged.empty()) {
    return nullptr;
  }
  for (std::size_t level = 1; level < run.host.fds.size(); ++level) {
    const auto found = run.staged.find(run.host.fds[level].get());
    if (found != run.staged.end()) {
      return found->second;
    }
  }
  return nullptr;
}

// Stages the topmost folder that the last open_folders of the host made,
// where the host takes no unnamed files and the folder is not in a staged
// one already. If that fails, the folder simply stays in place.
void stage_new_folder(Run& run) {
  const FolderChain& chain = run.host;
  std::size_t level =
      chain.kept;  // the folder of names[level] is fds[level + 1]
  while (level < chain.created.size() && !chain.created[level]) {
    ++level;
  }
  if (level == chain.created.size() || staged_above(run) != nullptr ||
      has_unnamed_files(run.copies, chain.fds[level]->get())) {
    return;
  }
  int slot = -1;
  if (stage_folder(run.copies, chain.fds[level]->get(), chain.names[level],
                   slot) != 0) {
    return;
  }
  auto folder = std::make_shared<StagedFolder>(
      StagedFolder{chain.fds[level], chain.names[level], slot, true, 0});
  run.staged.emplace(chain.fds[level + 1].get(), folder);
  run.open_staged.push_back(std::move(folder));
}

void write_entry(Run& run, const DiffEntry& entry) {
  const std::string source = join(run.local_root, entry.rel_path);
  const std::string target = join(run.host_root, entry.rel_path);
  say(run.console, Stream::OUT, source + " -> " + target + "\n");
  status_copy_start(run.console, entry.rel_path, entry.size);

  const auto [folder, name] = split(entry.rel_path);
  const std::size_t held = run.host.fds.size();
  const std::shared_ptr<const UniqueFd> last_folder =
      run.host.fds.empty() ? nullptr : run.host.fds.back();
  if (const int error = open_folders(run.host, folder, Create::YES);
      error != 0) {
    flush_batch(run);  // the earlier copies' messages come first
    report_failure(run.console,
                   "Erstellen des Verzeichnisses " +
                       quoted_form(fs::path(target).parent_path()),
                   error);
    return;
  }
  run.changed =
      run.changed || (!run.host.created.empty() && run.host.created.back());
  if (run.host.created.size() > run.host.kept) {
    stage_new_folder(run);
  }
  const std::shared_ptr<StagedFolder> staged = staged_above(run);
  int error = staged != nullptr ? staged->error : 0;
  if (error == 0) {
    error = open_folders(run.local, folder, Create::NO);
  }
  const Target kind = entry.type != MISSING               ? Target::REPLACE
                      : staged != nullptr && staged->open ? Target::STAGED
                                                          : Target::NEW;
  const PendingCopy where{run.host.fds.back(), name, kind, {}, -1, 0};
  PendingCopy pending;
  if (error == 0) {
    error = write_copy(run.copies, run.local.fds.back()->get(), where, pending,
                       Sync::LATER);
  }
  if (error != 0) {
    flush_batch(run);  // the earlier copies' messages come first
    report_copy_failure(run, entry, error);
    return;
  }
  // Copies of one folder share its device; look it up per folder.
  Batch& batch = run.filling;
  const bool same_folder =
      held != 0 && run.host.fds.back() == last_folder && !batch.devices.empty();
  batch.devices.push_back(same_folder ? batch.devices.back()
                                      : device_of(run, run.host.fds.back()));
  batch.bytes += pending.size;
  batch.copies.push_back({&entry, std::move(pending), staged});
  if (batch.copies.size() >= run.batch_limit || batch.bytes >= BATCH_BYTES) {
    hand_over_batch(run);
  }
}

void remove_entry(Run& run, const DiffEntry& entry) {
  const std::string target = join(run.host_root, entry.rel_path);
  const auto [folder, name] = split(entry.rel_path);
  // The file is removed relative to its folder, reached without following
  // links, so nothing outside the host tree is ever removed; unlinkat never
  // removes a folder. A file that is already gone is no failure, and a
  // missing folder has nothing left to prune. Removing a name needs write
  // and search permission on its folder, not read permission.
  int error = open_folders(run.host, folder, Create::NO);
  const bool opened = error == 0;
  if (run.taken_over.contains(entry.rel_path)) {
    error = ENOENT;  // its host entry now holds a local file's copy
  } else if (opened &&
             unlinkat(run.host.fds.back()->get(), name.c_str(), 0) != 0) {
    error = errno;
  }
  if (error != 0 && error != ENOENT) {
    report_failure(run.console, "Löschen von " + quoted_form(target), error);
    return;
  }
  if (error == 0) {
    say(run.console, Stream::OUT, target + " wurde entfernt.\n");
    status_count(run.console, Counted::DELETED);
    run.changed = true;
  }
  if (opened && remove_empty_parents(run.host, fs::path(target).parent_path(),
                                     run.console) != 0) {
    run.changed = true;
  }
}

void copy_entry(Run& run, const DiffEntry& entry) {
  write_entry(run, entry);
  status_file_done(run.console);
}

void delete_entry(Run& run, const DiffEntry& entry) {
  status_delete_start(run.console);
  remove_entry(run, entry);
  status_file_done(run.console);
}

// Tells in `empty` whether the folder `folder` holds no entries. Returns 0
// or the error number.
int test_empty(int folder, bool& empty) {
  const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
  if (listing == nullptr) {
    const int error = errno;
    if (fd >= 0) {
      close(fd);
    }
    return error;
  }
  empty = true;
  errno = 0;
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  const int error = empty ? errno : 0;
  closedir(listing);
  return error;
}

}  // namespace

void sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& local_root,
                          const std::string& host_root, Console& console) {
  Run run{entries,
          local_root,
          host_root,
          console,
          {local_root, {}, {}, {}, 0},
          {host_root, {}, {}, {}, 0},
          start_copies(console),
          {},
          {},
          {},
          {},
          {},
          {},
          {},
          false,
          0,
          {},
          false};
  // Two batches wait at most: one being synced, one being written.
  run.batch_limit = std::max<std::size_t>(1, run.copies.batch_limit / 2);
  std::uint64_t bytes = 0;
  for (const DiffEntry& entry : entries) {
    bytes += entry.type == DELETED ? 0 : entry.size;
  }
  status_apply_start(console, entries.size(), bytes);
  for (const DiffEntry& entry : entries) {
    if (entry.type == NEWER || entry.type == MISSING) {
      copy_entry(run, entry);
    } else if (entry.type == DELETED) {
      // Every copy is in place before the first deletion.
      flush_batch(run);
      delete_entry(run, entry);
    }
  }
  flush_batch(run);
  if (run.changed) {
    status_sync_start(console);
    if (const int error = sync_host(run); error != 0) {
      report_failure(console, "Synchronisieren von " + quoted_form(host_root),
                     error);
    }
  }
  status_finish(console);
}

void sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& local_root,
                          const std::string& host_root) {
  Console plain;
  sync_different_files(entries, local_root, host_root, plain);
}

int remove_empty_parents(FolderChain& folders, fs::path start,
                         Console& console) {
  int removed = 0;
  while (!folders.names.empty()) {
    bool empty = false;
    if (const int error = test_empty(folders.fds.back()->get(), empty);
        error != 0) {
      report_failure(console, "Prüfen von " + quoted_form(start), error);
      return removed;
    }
    if (!empty) {
      return removed;
    }
    const int parent = folders.fds[folders.fds.size() - 2]->get();
    if (unlinkat(parent, folders.names.back().c_str(), AT_REMOVEDIR) != 0) {
      const int error = errno;
      report_failure(console, "Löschen von " + quoted_form(start), error);
      return removed;
    }
    say(console, Stream::OUT,
        "Ordner " + quoted_form(start) + " wurde entfernt\n");
    status_count(console, Counted::FOLDER_REMOVED);
    ++removed;
    close_deepest(folders);
    start = start.parent_path();
  }
  return removed;
}

int remove_empty_parents(FolderChain& folders, fs::path start) {
  Console plain;
  return remove_empty_parents(folders, std::move(start), plain);
}
