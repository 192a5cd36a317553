// Applies the plan: what killed runs left, the renames, then each entry in
// its turn, the copies before the deletions, and the final sync. The host's
// folders stay open from one entry to the next, since entries come in walk
// order and neighbours share folders.
#include "apply.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string_view>

#include "clear.hpp"
#include "interrupt.hpp"
#include "marker.hpp"
#include "messages.hpp"
#include "prune.hpp"
#include "rel_path.hpp"
#include "writes.hpp"

namespace fs = std::filesystem;

namespace {

struct Run {
  Writes writes;
  const HeldRoots& roots;
  bool stopped = false;  // the host root's path names another folder
};

// How many entries go by between two checks that the host is still the one
// held.
constexpr std::size_t HOST_CHECK_EVERY = 256;

// Whether the host root's path still names the folder held; once it does
// not (a disk unmounted or swapped midway), says so once and stops the run:
// nothing more is written into a file system that is not the backup.
bool host_held(Run& run) {
  if (!run.stopped && (run.roots.host == nullptr ||
                       still_names(run.writes.host_root, *run.roots.host))) {
    return true;
  }
  if (!run.stopped) {
    run.stopped = true;
    report_moved_root(run.writes.console, "Das Host-Verzeichnis",
                      run.writes.host_root, "der Abgleich wurde abgebrochen");
  }
  return false;
}

void remove_entry(Writes& writes, const DiffEntry& entry) {
  if (settled(writes.clearing, entry.rel_path)) {
    return;  // removed to clear the way
  }
  Console& console = writes.console;
  const std::string target = join(writes.host_root, entry.rel_path);
  const std::string name(last_name(entry.rel_path));
  FolderChain& chain = writes.host.chain;
  // The file is removed relative to its folder, reached without following
  // links, so nothing outside the host tree is ever removed; unlinkat never
  // removes a folder. A file that is already gone is no failure, and a
  // missing folder has nothing left to prune. Removing a name needs write
  // and search permission on its folder, not read permission.
  int error = open_folders(chain, folder_of(entry.rel_path), Create::NO);
  const bool opened = error == 0;
  if (opened && unlinkat(deepest_fd(chain), name.c_str(), 0) != 0) {
    error = errno;
  }
  if (error != 0 && error != ENOENT) {
    report_failure(console, path_action(console, "Löschen von", target), error);
    return;
  }
  if (error == 0) {
    report_removed_file(console, target);
    note_host_device(writes);
    writes.changed = true;
  }
  if (opened && remove_empty_parents(chain, fs::path(target).parent_path(),
                                     console) != 0) {
    writes.changed = true;
  }
}

// Gives each host entry of `renames` the local spelling, from the top.
void rename_entries(Writes& writes, const std::vector<Rename>& renames) {
  for (const Rename& rename : renames) {
    const std::string_view folder = folder_of(rename.rel_path);
    const std::string name(last_name(rename.rel_path));
    const std::string old_path =
        join(writes.host_root, joined(folder, rename.from));
    int error = open_folders(writes.host.chain, folder, Create::NO);
    const int at = error == 0 ? deepest_fd(writes.host.chain) : -1;
    if (error == 0 &&
        renameat(at, rename.from.c_str(), at, name.c_str()) != 0) {
      error = errno;
    }
    if (error != 0) {
      report_failure(writes.console,
                     path_action(writes.console, "Umbenennen von", old_path),
                     error);
      continue;
    }
    report_renamed(writes.console, old_path, name);
    note_host_device(writes);
    writes.changed = true;
  }
}

// "Done" means on the disk: the copies, deletions and removed folders of the
// run, on every file system of the host it wrote to, the root's first. The
// root can be read, as its scan did.
int sync_host(Writes& writes) {
  if (const int error = open_folders(writes.host.chain, "", Create::NO);
      error != 0) {
    return error;
  }
  const UniqueFd root(openat(deepest_fd(writes.host.chain), ".",
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return root.valid() ? sync_devices(writes.batches, root.get()) : errno;
}

}  // namespace

void sync_different_files(const CompareResult& plan,
                          const std::string& local_root,
                          const std::string& host_root, const HeldRoots& roots,
                          Console& console) {
  install_interrupt_cleanup();
  const std::vector<DiffEntry>& entries = plan.entries;
  Run run{
      .writes = start_writes(entries, local_root, host_root, roots, console),
      .roots = roots};
  Writes& writes = run.writes;
  // The line says when the run waits for the disk: for a batch and for the
  // final sync.
  writes.batches.wait = {.waiting = [&console] { status_waiting(console); },
                         .waited = [&console] { status_waited(console); }};
  Work copies;
  for (const DiffEntry& entry : entries) {
    copies.files += entry.type == DELETED ? 0 : 1;
    copies.bytes +=
        entry.type == DELETED || entry.type == TAKEN ? 0 : entry.size;
  }
  status_apply_start(console, entries.size(), copies);
  if (!host_held(run)) {
    status_finish(console);
    return;
  }
  if (remove_leftovers(writes.host.chain, plan.leftovers)) {
    note_host_device(writes);
    writes.changed = true;
  }
  rename_entries(writes, plan.renames);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const DiffEntry& entry = entries[i];
    const bool first_deletion =
        entry.type == DELETED && (i == 0 || entries[i - 1].type != DELETED);
    if ((i % HOST_CHECK_EVERY == 0 || first_deletion) && !host_held(run)) {
      break;
    }
    if (entry.type == DELETED) {
      // Every copy is in place before the first deletion.
      flush(writes);
      status_delete_start(console);
      remove_entry(writes, entry);
    } else if (entry.type == NEWER || entry.type == MISSING ||
               entry.type == REPLACED || entry.type == TAKEN) {
      write_entry(writes, entry);
    } else {
      continue;
    }
    status_file_done(console);
  }
  flush(writes);
  // The deletions may have freed the room a copy lacked; only a copy that
  // fails again is reported.
  if (host_held(run)) {
    write_again(writes);
  }
  remove_unfilled(writes.host);
  if (writes.changed && !run.stopped) {
    status_sync_start(console);
    if (const int error = sync_host(writes); error != 0) {
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
  sync_different_files(CompareResult{.entries = entries}, local_root, host_root,
                       hold_roots(local_root, host_root), plain);
}
