// Applies the plan: the renames, then for each entry the decision, the
// folders it needs and the messages. The host's folders stay open from one
// entry to the next, since entries come in walk order and neighbours share
// folders.
#include "apply.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

#include "batch.hpp"
#include "clear.hpp"
#include "copy.hpp"
#include "host_folders.hpp"
#include "interrupt.hpp"
#include "marker.hpp"
#include "messages.hpp"
#include "prune.hpp"
#include "rel_path.hpp"

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

// Whether a copy is tried for the first time, or again after the deletions.
enum class Attempt { FIRST, AGAIN };

struct Run {
  const std::string& local_root;
  const std::string& host_root;
  const HeldRoots& roots;
  Console& console;
  FolderChain local;
  HostFolders host;
  CopyState copies;
  Batches batches;
  Clearing clearing;
  FolderChain claims;  // the host folders of a new file whose name is taken
  // The last host folder worked in and its device: the entries of one
  // folder share it, so it is looked up per folder. Not held open by this.
  std::weak_ptr<const UniqueFd> device_folder = {};
  dev_t device = 0;
  std::uint16_t wave = 0;  // of the copies written last
  bool changed = false;    // whether the host needs the final sync
  // Copies that found no room: tried again once the deletions are done.
  Attempt attempt = Attempt::FIRST;
  std::vector<const DiffEntry*> no_room = {};
  bool stopped = false;  // the host root's path names another folder
};

// How many entries go by between two checks that the host is still the one
// held.
constexpr std::size_t HOST_CHECK_EVERY = 256;
// Descriptors a run needs besides its two chains of folders: sources and
// copies being written, the batches' least, a folder opened again.
constexpr std::size_t BESIDES_CHAINS = 16;

// Where both chains of folders at the plan's deepest level would not leave
// the copies room under the limit on open files, the chains keep only
// their root and deepest level open, at a few more opens per folder.
void fit_chains(Run& run, const std::vector<DiffEntry>& entries) {
  std::size_t deepest = 0;
  for (const DiffEntry& entry : entries) {
    deepest = std::max(deepest, depth_of(entry.rel_path));
  }
  if (2 * deepest + BESIDES_CHAINS > run.batches.free_files) {
    run.local.holding = Holding::DEEPEST;
    run.host.chain.holding = Holding::DEEPEST;
    run.claims.holding = Holding::DEEPEST;
  }
}

// Whether the host root's path still names the folder held; once it does
// not (a disk unmounted or swapped midway), says so once and stops the run:
// nothing more is written into a file system that is not the backup.
bool host_held(Run& run) {
  if (!run.stopped && (run.roots.host == nullptr ||
                       still_names(run.host_root, *run.roots.host))) {
    return true;
  }
  if (!run.stopped) {
    run.stopped = true;
    report_moved_root(run.console, "Das Host-Verzeichnis", run.host_root,
                      "der Abgleich wurde abgebrochen");
  }
  return false;
}

// Whether a copy failed for lack of room, which the run's deletions may free.
bool out_of_room(const Run& run, int error) {
  return run.attempt == Attempt::FIRST && (error == ENOSPC || error == EDQUOT);
}

void report_copy_failure(Run& run, const DiffEntry& entry, int error) {
  report_failure(
      run.console,
      copying_action(run.console, join(run.local_root, entry.rel_path),
                     join(run.host_root, entry.rel_path)),
      error);
}

// Notes the device of the deepest host folder held, for the final sync.
void note_host_device(Run& run) {
  const std::shared_ptr<const UniqueFd>& folder =
      run.host.chain.levels.back().fd;
  if (run.device_folder.owner_before(folder) ||
      folder.owner_before(run.device_folder)) {
    run.device_folder = folder;
    run.device =
        note_device(run.batches, folder, run.host.chain.levels.front().fd);
  }
}

// The new file of `entry` found its name taken on the host by what the scan
// did not list, or by what appeared since: what the run deletes anyway or
// what is no regular file makes way, and the copy is written again over it.
// Returns 0 or the error number.
int make_way(Run& run, const DiffEntry& entry) {
  const auto [folder, name] = split(entry.rel_path);
  if (const int error = open_folders(run.claims, folder, Create::NO);
      error != 0) {
    return error;
  }
  const int at = deepest_fd(run.claims);
  if (const int error =
          clear_file_way(run.clearing, run.console, at, entry.rel_path);
      error != 0) {
    return error;
  }
  if (const int error = open_folders(run.local, folder, Create::NO);
      error != 0) {
    return error;
  }
  PendingCopy pending{.folder = run.claims.levels.back().fd,
                      .name = name,
                      .target = Target::REPLACE};
  const int error =
      write_copy(run.copies, deepest_fd(run.local), pending, Sync::NOW);
  return error != 0 ? error : place_copy(pending);
}

// Reports the outcome of each copy of `done`, in order.
void report_copies(Run& run, const std::vector<WaitingCopy>& done) {
  for (const WaitingCopy& waiting : done) {
    const DiffEntry& entry = *waiting.entry;
    if (entry.type == TAKEN) {
      report_taken(run.console, run.local_root, run.host_root, entry);
      continue;
    }
    int error = waiting.stage == CopyStage::PLACED ? 0 : waiting.error;
    if (error == EEXIST && entry.type == MISSING &&
        waiting.copy.target != Target::STAGED) {
      error = make_way(run, entry);
    }
    if (out_of_room(run, error)) {
      run.no_room.push_back(&entry);
      continue;
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
  forget_filled(run.host);
}

// Opens the host folders of `folder`, making those that are missing. A
// link, a special file or a file due for deletion in the way is removed
// first. Returns 0 or the error number.
int open_target_folders(Run& run, std::string_view folder) {
  for (bool flushed = false;;) {
    const int error = open_host_folders(run.host, run.batches, run.copies,
                                        folder, Create::YES);
    if (error != ENOTDIR) {
      return error;
    }
    if (!flushed) {
      // The earlier copies' messages come before a removal's; placing them
      // may let the chain go, so the folders are opened again.
      flush(run);
      flushed = true;
      continue;
    }
    // The chain holds the levels that could be opened; the next name is the
    // one in the way.
    std::size_t end = folder.find('/');
    for (std::size_t level = 0;
         level < depth(run.host.chain) && end != std::string_view::npos;
         ++level) {
      end = folder.find('/', end + 1);
    }
    if (!clear_folder_way(run.clearing, run.console,
                          deepest_fd(run.host.chain), folder.substr(0, end))) {
      return error;
    }
    run.changed = true;
  }
}

// Where the copy of `entry` failed: making its folder or the copy itself.
enum class Failed { FOLDER, COPY };

// Writes the copy of `entry` into its host folder, made as needed, and adds
// it to the batch being filled. Returns 0 or the error number, with
// `failed` telling what failed.
int write_copy_of(Run& run, const DiffEntry& entry, Failed& failed) {
  const auto [folder, name] = split(entry.rel_path);
  failed = Failed::FOLDER;
  if (const int error = open_target_folders(run, folder); error != 0) {
    return error;
  }
  failed = Failed::COPY;
  const std::shared_ptr<StagedFolder> staged = staged_above(run.host);
  if (staged != nullptr && staged->error != 0) {
    return staged->error;
  }
  const bool open_staged =
      staged != nullptr && staged->stage == FolderStage::OPEN;
  WaitingCopy waiting{
      .entry = &entry,
      .copy = {.folder = run.host.chain.levels.back().fd,
               .name = name,
               .target = entry.type != MISSING ? Target::REPLACE
                         : open_staged         ? Target::STAGED
                                               : Target::NEW},
      .staged = staged,
      .created = run.host.chain.levels.back().created};
  int error = open_folders(run.local, folder, Create::NO);
  if (error == 0) {
    error = write_copy(run.copies, deepest_fd(run.local), waiting.copy,
                       Sync::LATER);
  }
  if (error != 0) {
    return error;
  }
  note_host_device(run);
  waiting.device = run.device;
  report_copies(run, add_copy(run.batches, std::move(waiting),
                              open_levels(run.local) +
                                  open_levels(run.host.chain)));
  return 0;
}

// Writes the copy of `entry`, made as needed; reports a failure, or keeps
// a copy that found no room for another attempt.
void try_copy(Run& run, const DiffEntry& entry) {
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
  if (out_of_room(run, error)) {
    run.no_room.push_back(&entry);
    return;
  }
  if (failed == Failed::FOLDER) {
    report_failure(
        run.console,
        path_action(run.console, "Erstellen des Verzeichnisses",
                    fs::path(join(run.host_root, entry.rel_path))
                        .parent_path()
                        .native()),
        error);
    return;
  }
  report_copy_failure(run, entry, error);
}

void write_entry(Run& run, const DiffEntry& entry) {
  say(run.console, Stream::OUT,
      shown(run.console, Stream::OUT, join(run.local_root, entry.rel_path)) +
          " -> " +
          shown(run.console, Stream::OUT,
                join(run.host_root, entry.rel_path)) +
          "\n");
  status_copy_start(run.console, entry.rel_path, entry.size);
  if (entry.wave != run.wave) {
    // The names of the earlier wave are in place before this one's come.
    flush(run);
    run.wave = entry.wave;
  }
  if (entry.type == TAKEN) {
    // Reported in its turn with the copies around it; nothing is written.
    report_copies(run, add_copy(run.batches,
                                {.entry = &entry,
                                 .stage = CopyStage::FAILED,
                                 .error = EEXIST},
                                open_levels(run.local) +
                                    open_levels(run.host.chain)));
    return;
  }
  try_copy(run, entry);
}

void remove_entry(Run& run, const DiffEntry& entry) {
  if (settled(run.clearing, entry.rel_path)) {
    return;  // removed to clear the way
  }
  const std::string target = join(run.host_root, entry.rel_path);
  const auto [folder, name] = split(entry.rel_path);
  FolderChain& chain = run.host.chain;
  // The file is removed relative to its folder, reached without following
  // links, so nothing outside the host tree is ever removed; unlinkat never
  // removes a folder. A file that is already gone is no failure, and a
  // missing folder has nothing left to prune. Removing a name needs write
  // and search permission on its folder, not read permission.
  int error = open_folders(chain, folder, Create::NO);
  const bool opened = error == 0;
  if (opened && unlinkat(deepest_fd(chain), name.c_str(), 0) != 0) {
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
  if (opened && remove_empty_parents(chain, fs::path(target).parent_path(),
                                     run.console) != 0) {
    run.changed = true;
  }
}

// Gives each host entry of `renames` the local spelling, from the top.
void rename_entries(Run& run, const std::vector<Rename>& renames) {
  for (const Rename& rename : renames) {
    const auto [folder, name] = split(rename.rel_path);
    const std::string old_path =
        join(run.host_root, folder.empty() ? rename.from
                                           : std::string(folder) + "/" +
                                                 rename.from);
    int error = open_folders(run.host.chain, folder, Create::NO);
    const int at = error == 0 ? deepest_fd(run.host.chain) : -1;
    if (error == 0 &&
        renameat(at, rename.from.c_str(), at, name.c_str()) != 0) {
      error = errno;
    }
    if (error != 0) {
      report_failure(run.console,
                     path_action(run.console, "Umbenennen von", old_path),
                     error);
      continue;
    }
    report_renamed(run.console, old_path, name);
    note_host_device(run);
    run.changed = true;
  }
}

// "Done" means on the disk: the copies, deletions and removed folders of the
// run, on every file system of the host it wrote to, the root's first. The
// root can be read, as its scan did.
int sync_host(Run& run) {
  if (const int error = open_folders(run.host.chain, "", Create::NO);
      error != 0) {
    return error;
  }
  const UniqueFd root(openat(deepest_fd(run.host.chain), ".",
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return root.valid() ? sync_devices(run.batches, root.get()) : errno;
}

}  // namespace

void sync_different_files(const CompareResult& plan,
                          const std::string& local_root,
                          const std::string& host_root,
                          const HeldRoots& roots, Console& console) {
  install_interrupt_cleanup();
  const std::vector<DiffEntry>& entries = plan.entries;
  Run run{.local_root = local_root,
          .host_root = host_root,
          .roots = roots,
          .console = console,
          .local = {.root = local_root, .held = roots.local},
          .host = {.chain = {.root = host_root, .held = roots.host}},
          .copies = start_copies(console),
          .batches = start_batches(),
          .clearing = {.entries = entries,
                       .host_root = host_root,
                       .held = roots.host},
          .claims = {.root = host_root, .held = roots.host}};
  std::uint64_t bytes = 0;
  for (const DiffEntry& entry : entries) {
    bytes += entry.type == DELETED || entry.type == TAKEN ? 0 : entry.size;
  }
  status_apply_start(console, entries.size(), bytes);
  fit_chains(run, entries);
  if (!host_held(run)) {
    status_finish(console);
    return;
  }
  if (remove_leftovers(run.host.chain, plan.leftovers)) {
    note_host_device(run);
    run.changed = true;
  }
  rename_entries(run, plan.renames);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const DiffEntry& entry = entries[i];
    const bool first_deletion =
        entry.type == DELETED && (i == 0 || entries[i - 1].type != DELETED);
    if ((i % HOST_CHECK_EVERY == 0 || first_deletion) && !host_held(run)) {
      break;
    }
    if (entry.type == DELETED) {
      // Every copy is in place before the first deletion.
      flush(run);
      status_delete_start(console);
      remove_entry(run, entry);
    } else if (entry.type == NEWER || entry.type == MISSING ||
               entry.type == REPLACED || entry.type == TAKEN) {
      write_entry(run, entry);
    } else {
      continue;
    }
    status_file_done(console);
  }
  flush(run);
  // The deletions may have freed the room a copy lacked; only a copy that
  // fails again is reported.
  run.attempt = Attempt::AGAIN;
  for (const DiffEntry* entry : std::exchange(run.no_room, {})) {
    if (host_held(run)) {
      try_copy(run, *entry);
    }
  }
  flush(run);
  remove_unfilled(run.host);
  if (run.changed && !run.stopped) {
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
  sync_different_files(CompareResult{.entries = entries}, local_root,
                       host_root, hold_roots(local_root, host_root), plain);
}
