// Applies the pending actions: for each entry the decision, the folders it
// needs and the messages. The host's folders stay open from one entry to
// the next, since entries come in walk order and neighbours share folders.
#include "apply.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "batch.hpp"
#include "clear.hpp"
#include "copy.hpp"
#include "interrupt.hpp"
#include "messages.hpp"
#include "prune.hpp"
#include "spelling.hpp"

namespace fs = std::filesystem;

namespace {

// The folder part of a relative path ("" for a file in the root) and its
// last name.
std::pair<std::string_view, std::string> split(std::string_view rel) {
  const std::size_t slash = rel.rfind('/');
  if (slash == std::string_view::npos) {
    return {{}, std::string(rel)};
  }
  return {rel.substr(0, slash), std::string(rel.substr(slash + 1))};
}

struct Run {
  const std::string& local_root;
  const std::string& host_root;
  Console& console;
  FolderChain local;
  FolderChain host;
  CopyState copies;
  Batches batches;
  Clearing clearing;
  Spellings spellings;
  FolderChain claims;  // the host folders of a new file whose name is taken
  // The record of each level of `host` that this run made, or null, and
  // every folder made that has no copy in it yet.
  std::vector<std::shared_ptr<CreatedFolder>> levels = {};
  std::vector<std::shared_ptr<CreatedFolder>> unfilled = {};
  // The last host folder worked in and its device: the entries of one
  // folder share it, so it is looked up per folder. Not held open by this.
  std::weak_ptr<const UniqueFd> device_folder = {};
  dev_t device = 0;
  bool changed = false;  // whether the host needs the final sync
};

void report_copy_failure(Run& run, const DiffEntry& entry, int error) {
  report_failure(
      run.console,
      copying_action(run.console, join(run.local_root, entry.rel_path),
                     join(run.host_root, entry.rel_path)),
      error);
}

// Notes the device of the deepest host folder held, for the final sync.
void note_host_device(Run& run) {
  const std::shared_ptr<const UniqueFd>& folder = run.host.fds.back();
  if (run.device_folder.owner_before(folder) ||
      folder.owner_before(run.device_folder)) {
    run.device_folder = folder;
    run.device = note_device(run.batches, folder, run.host.fds.front());
  }
}

// Copies `entry` at once into the host folder `folder`, replacing whatever
// is there but a folder, and puts it in place. Returns 0 or the error
// number.
int copy_now(Run& run, const DiffEntry& entry,
             const std::shared_ptr<const UniqueFd>& folder) {
  const auto [local_folder, name] = split(entry.rel_path);
  if (const int error = open_folders(run.local, local_folder, Create::NO);
      error != 0) {
    return error;
  }
  PendingCopy pending{
      .folder = folder, .name = name, .target = Target::REPLACE};
  const int error =
      write_copy(run.copies, run.local.fds.back()->get(), pending, Sync::NOW);
  return error != 0 ? error : place_copy(pending);
}

// Folders renamed to the local spelling may be out of reach through the
// handles held below them (exfat-fuse drops them): the host chain and the
// folders of the copies still waiting below them are opened anew.
void reopen_below(Run& run, const std::vector<std::string>& renamed) {
  run.host = FolderChain{.root = run.host_root};
  run.claims = FolderChain{.root = run.host_root};
  run.levels.clear();
  FolderChain chain{.root = run.host_root};
  for (WaitingCopy& waiting : run.batches.filling.copies) {
    const auto [folder, name] = split(waiting.entry->rel_path);
    for (const std::string& rel : renamed) {
      if (folder.starts_with(rel) &&
          (folder.size() == rel.size() || folder[rel.size()] == '/') &&
          open_folders(chain, folder, Create::NO) == 0) {
        waiting.copy.folder = chain.fds.back();
        break;
      }
    }
  }
}

// The new file of `waiting` found its name taken on the host. What the scan
// did not list or the run deletes anyway makes way for it; a host-only file
// under a name the host takes as the same is a case-only rename, taken over
// under the local spelling. Returns 0 or the error number.
int claim_name(Run& run, const WaitingCopy& waiting) {
  const DiffEntry& entry = *waiting.entry;
  const auto [folder, name] = split(entry.rel_path);
  // By its path: a folder above may have been renamed since it was written.
  if (const int error = open_folders(run.claims, folder, Create::NO);
      error != 0) {
    return error;
  }
  const int at = run.claims.fds.back()->get();
  int error = clear_file_way(run.clearing, run.console, at, entry.rel_path);
  if (error == 0) {
    return copy_now(run, entry, run.claims.fds.back());
  }
  struct stat occupant {};
  if (error != EEXIST ||
      fstatat(at, name.c_str(), &occupant, AT_SYMLINK_NOFOLLOW) != 0) {
    return error;
  }
  std::vector<std::string> renamed;
  error = take_over(run.spellings, run.clearing, run.copies, run.local, entry,
                    occupant, renamed);
  if (!renamed.empty()) {
    reopen_below(run, renamed);
  }
  if (error != 0 || occupant.st_mtim.tv_sec >= entry.time) {
    return error;  // the host's file is not older: it is the copy
  }
  if (const int opened = open_folders(run.claims, folder, Create::NO);
      opened != 0) {
    return opened;
  }
  return copy_now(run, entry, run.claims.fds.back());
}

// Reports the outcome of each copy of `done`, in order.
void report_copies(Run& run, const std::vector<WaitingCopy>& done) {
  for (const WaitingCopy& waiting : done) {
    const DiffEntry& entry = *waiting.entry;
    int error = waiting.stage == CopyStage::PLACED ? 0 : waiting.error;
    if (error == EEXIST && entry.type == MISSING &&
        waiting.copy.target != Target::STAGED) {
      error = claim_name(run, waiting);
    }
    if (error != 0) {
      report_copy_failure(run, entry, error);
      continue;
    }
    status_count(run.console, Counted::COPIED, entry.size);
    run.changed = true;
  }
}

// Puts every written copy in place and reports them, so the messages of
// earlier entries come first.
void flush(Run& run) {
  report_copies(run, flush_batches(run.batches));
  std::erase_if(run.unfilled,
                [](const auto& folder) { return folder->filled; });
  // A staged folder whose copies all failed is gone; the chain must not
  // work in it, so the next copy makes the folder anew.
  for (const std::shared_ptr<const UniqueFd>& fd : run.host.fds) {
    if (run.batches.removed.contains(fd.get())) {
      run.host = FolderChain{.root = run.host_root};
      run.levels.clear();
      break;
    }
  }
  run.batches.removed.clear();
}

// Makes the host chain hold the staged folder that `folder` lies in or is,
// if any: it has a hidden name until its batch is on the disk, and the walk
// may come back to it (a link elsewhere in the local tree brings a file of
// it), which must not make the folder a second time.
void enter_staged(Run& run, std::string_view folder) {
  for (const std::shared_ptr<StagedFolder>& staged : run.batches.staged) {
    const std::string& rel = staged->rel;
    if (staged->stage == FolderStage::FAILED || !folder.starts_with(rel) ||
        (folder.size() > rel.size() && folder[rel.size()] != '/')) {
      continue;
    }
    // fds[depth + 1] is the folder of `rel`.
    const auto depth =
        static_cast<std::size_t>(std::count(rel.begin(), rel.end(), '/'));
    if (run.host.fds.size() > depth + 1 &&
        run.host.fds[depth + 1] == staged->folder) {
      return;  // held already
    }
    const std::size_t slash = rel.rfind('/');
    const std::string_view parent =
        std::string_view(rel).substr(0, slash == std::string::npos ? 0 : slash);
    if (open_folders(run.host, parent, Create::NO) == 0 &&
        run.host.names.size() == depth) {
      add_level(run.host, staged->folder, staged->name, true);
      run.levels.clear();  // records of other folders may stand at its level
    }
    return;
  }
}

// Opens the host folders of `folder`, making those that are missing. A
// link, a special file or a file due for deletion in the way is removed
// first. Returns 0 or the error number.
int open_host_folders(Run& run, std::string_view folder) {
  if (!run.batches.staged.empty()) {
    enter_staged(run, folder);
  }
  for (;;) {
    const int error = open_folders(run.host, folder, Create::YES);
    if (error != ENOTDIR) {
      return error;
    }
    flush(run);  // the earlier copies' messages come before a removal's
    if (!clear_folder_way(run.clearing, run.console, run.host, folder)) {
      return error;
    }
    run.changed = true;
  }
}

// Keeps a record of each folder of `rel_folder` that the host chain made
// since the records were last kept, and stages the topmost of them.
void note_created(Run& run, std::string_view rel_folder) {
  const FolderChain& host = run.host;
  run.levels.resize(std::min(run.levels.size(), host.kept));
  const std::size_t first = run.levels.size();
  std::size_t end = 0;
  for (std::size_t level = 0; level < host.names.size(); ++level) {
    end = std::min(rel_folder.find('/', end + (level == 0 ? 0 : 1)),
                   rel_folder.size());
    if (level < first) {
      continue;
    }
    if (!host.created[level]) {
      run.levels.push_back(nullptr);
      continue;
    }
    run.changed = true;
    run.levels.push_back(std::make_shared<CreatedFolder>(
        CreatedFolder{.rel = std::string(rel_folder.substr(0, end)),
                      .above = level == 0 ? nullptr : run.levels[level - 1]}));
    run.unfilled.push_back(run.levels.back());
    if (level == 0 || run.levels[level - 1] == nullptr) {
      stage_new_folder(run.batches, run.copies, host, level,
                       run.levels.back()->rel);
    }
  }
}

// Removes the folders this run made that got no copy, deepest first; one
// that holds something else by now stays.
void remove_unfilled(Run& run) {
  for (auto it = run.unfilled.rbegin(); it != run.unfilled.rend(); ++it) {
    const std::string& rel = (*it)->rel;
    const std::size_t slash = rel.rfind('/');
    const std::string name = rel.substr(slash + 1);
    if (!(*it)->filled &&
        open_folders(run.host,
                     std::string_view(rel).substr(
                         0, slash == std::string::npos ? 0 : slash),
                     Create::NO) == 0) {
      unlinkat(run.host.fds.back()->get(), name.c_str(), AT_REMOVEDIR);
    }
  }
  run.unfilled.clear();
}

// Where the copy of `entry` failed: making its folder or the copy itself.
enum class Failed { FOLDER, COPY };

// Writes the copy of `entry` into its host folder, made as needed, and adds
// it to the batch being filled. Returns 0 or the error number, with
// `failed` telling what failed.
int write_copy_of(Run& run, const DiffEntry& entry, Failed& failed) {
  const auto [folder, name] = split(entry.rel_path);
  failed = Failed::FOLDER;
  if (const int error = open_host_folders(run, folder); error != 0) {
    return error;
  }
  failed = Failed::COPY;
  note_created(run, folder);
  const std::shared_ptr<StagedFolder> staged =
      staged_above(run.batches, run.host);
  if (staged != nullptr && staged->error != 0) {
    return staged->error;
  }
  const bool open_staged =
      staged != nullptr && staged->stage == FolderStage::OPEN;
  WaitingCopy waiting{
      .entry = &entry,
      .copy = {.folder = run.host.fds.back(),
               .name = name,
               .target = entry.type != MISSING ? Target::REPLACE
                         : open_staged         ? Target::STAGED
                                               : Target::NEW},
      .staged = staged,
      .created = run.levels.empty() ? nullptr : run.levels.back()};
  int error = open_folders(run.local, folder, Create::NO);
  if (error == 0) {
    error = write_copy(run.copies, run.local.fds.back()->get(), waiting.copy,
                       Sync::LATER);
  }
  if (error != 0) {
    return error;
  }
  note_host_device(run);
  waiting.device = run.device;
  report_copies(run, add_copy(run.batches, std::move(waiting),
                              run.local.fds.size() + run.host.fds.size()));
  return 0;
}

void write_entry(Run& run, const DiffEntry& entry) {
  const std::string source = join(run.local_root, entry.rel_path);
  const std::string target = join(run.host_root, entry.rel_path);
  say(run.console, Stream::OUT,
      shown(run.console, Stream::OUT, source) + " -> " +
          shown(run.console, Stream::OUT, target) + "\n");
  status_copy_start(run.console, entry.rel_path, entry.size);
  Failed failed = Failed::COPY;
  int error = write_copy_of(run, entry, failed);
  if (error == EMFILE) {
    flush(run);  // the waiting copies give their descriptors back
    error = write_copy_of(run, entry, failed);
  }
  if (error == 0) {
    return;
  }
  flush(run);  // the earlier copies' messages come first
  if (failed == Failed::FOLDER) {
    report_failure(run.console,
                   path_action(run.console, "Erstellen des Verzeichnisses",
                               fs::path(target).parent_path().native()),
                   error);
    return;
  }
  report_copy_failure(run, entry, error);
}

void remove_entry(Run& run, const DiffEntry& entry) {
  if (settled(run.clearing, entry.rel_path)) {
    return;  // removed to clear the way, or it holds a local file's copy
  }
  const std::string target = join(run.host_root, entry.rel_path);
  const auto [folder, name] = split(entry.rel_path);
  // The file is removed relative to its folder, reached without following
  // links, so nothing outside the host tree is ever removed; unlinkat never
  // removes a folder. A file that is already gone is no failure, and a
  // missing folder has nothing left to prune. Removing a name needs write
  // and search permission on its folder, not read permission.
  int error = open_folders(run.host, folder, Create::NO);
  const bool opened = error == 0;
  if (opened && unlinkat(run.host.fds.back()->get(), name.c_str(), 0) != 0) {
    error = errno;
  }
  if (error != 0 && error != ENOENT) {
    report_failure(run.console, path_action(run.console, "Löschen von", target),
                   error);
    return;
  }
  if (error == 0) {
    report_removed_file(run.console, target);
    note_host_device(run);
    run.changed = true;
  }
  if (opened && remove_empty_parents(run.host, fs::path(target).parent_path(),
                                     run.console) != 0) {
    run.changed = true;
  }
}

// "Done" means on the disk: the copies, deletions and removed folders of the
// run, on every file system of the host it wrote to, the root's first. The
// root can be read, as its scan did.
int sync_host(Run& run) {
  if (const int error = open_folders(run.host, "", Create::NO); error != 0) {
    return error;
  }
  const UniqueFd root(openat(run.host.fds.front()->get(), ".",
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return root.valid() ? sync_devices(run.batches, root.get()) : errno;
}

}  // namespace

void sync_different_files(const std::vector<DiffEntry>& entries,
                          const std::string& local_root,
                          const std::string& host_root, Console& console) {
  install_interrupt_cleanup();
  Run run{.local_root = local_root,
          .host_root = host_root,
          .console = console,
          .local = {.root = local_root},
          .host = {.root = host_root},
          .copies = start_copies(console),
          .batches = start_batches(),
          .clearing = {.entries = entries, .host_root = host_root},
          .spellings = {.entries = entries, .host_root = host_root},
          .claims = {.root = host_root}};
  std::uint64_t bytes = 0;
  for (const DiffEntry& entry : entries) {
    bytes += entry.type == DELETED ? 0 : entry.size;
  }
  status_apply_start(console, entries.size(), bytes);
  for (const DiffEntry& entry : entries) {
    if (entry.type == NEWER || entry.type == MISSING) {
      write_entry(run, entry);
      status_file_done(console);
    } else if (entry.type == DELETED) {
      // Every copy is in place before the first deletion.
      flush(run);
      status_delete_start(console);
      remove_entry(run, entry);
      status_file_done(console);
    }
  }
  flush(run);
  remove_unfilled(run);
  if (run.changed) {
    status_sync_start(console);
    if (const int error = sync_host(run); error != 0) {
      report_failure(console,
                     path_action(console, "Synchronisieren von", host_root),
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
