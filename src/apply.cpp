// Applies the pending actions: for each entry the decision, the folders it
// needs and the messages. The host's folders stay open from one entry to
// the next, since entries come in walk order and neighbours share folders.
#include "apply.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string_view>
#include <system_error>

#include "batch.hpp"
#include "copy.hpp"
#include "interrupt.hpp"
#include "takeover.hpp"

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

struct Run {
  const std::string& local_root;
  const std::string& host_root;
  Console& console;
  FolderChain local;
  FolderChain host;
  CopyState copies;
  Batches batches;
  TakeOvers take_overs;
  // The last host folder copied into and its device: copies of one folder
  // share it, so it is looked up per folder.
  std::shared_ptr<const UniqueFd> device_folder = nullptr;
  dev_t device = 0;
  bool changed = false;  // whether the host needs the final sync
};

void report_copy_failure(Run& run, const DiffEntry& entry, int error) {
  report_failure(
      run.console,
      "Kopieren von " + quoted_form(join(run.local_root, entry.rel_path)) +
          " nach " + quoted_form(join(run.host_root, entry.rel_path)),
      error);
}

// Reports the outcome of each copy of `done`, in order. A new file whose
// name the host already took may be a case-only rename (see take_over).
void report_copies(Run& run, const std::vector<WaitingCopy>& done) {
  for (const WaitingCopy& waiting : done) {
    const DiffEntry& entry = *waiting.entry;
    int error = waiting.stage == CopyStage::PLACED ? 0 : waiting.error;
    if (error == EEXIST && entry.type == MISSING &&
        waiting.copy.target != Target::STAGED) {
      error = take_over(run.take_overs, run.copies, run.local, run.host_root,
                        entry);
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
}

void write_entry(Run& run, const DiffEntry& entry) {
  const std::string source = join(run.local_root, entry.rel_path);
  const std::string target = join(run.host_root, entry.rel_path);
  say(run.console, Stream::OUT, source + " -> " + target + "\n");
  status_copy_start(run.console, entry.rel_path, entry.size);

  const auto [folder, name] = split(entry.rel_path);
  if (const int error = open_folders(run.host, folder, Create::YES);
      error != 0) {
    flush(run);
    report_failure(run.console,
                   "Erstellen des Verzeichnisses " +
                       quoted_form(fs::path(target).parent_path()),
                   error);
    return;
  }
  run.changed =
      run.changed || (!run.host.created.empty() && run.host.created.back());
  if (run.host.created.size() > run.host.kept) {
    stage_new_folder(run.batches, run.copies, run.host);
  }
  const std::shared_ptr<StagedFolder> staged =
      staged_above(run.batches, run.host);
  int error = staged != nullptr ? staged->error : 0;
  if (error == 0) {
    error = open_folders(run.local, folder, Create::NO);
  }
  const bool open_staged =
      staged != nullptr && staged->stage == FolderStage::OPEN;
  WaitingCopy waiting{.entry = &entry,
                      .copy = {.folder = run.host.fds.back(),
                               .name = name,
                               .target = entry.type != MISSING ? Target::REPLACE
                                         : open_staged         ? Target::STAGED
                                                               : Target::NEW},
                      .staged = staged};
  if (error == 0) {
    error = write_copy(run.copies, run.local.fds.back()->get(), waiting.copy,
                       Sync::LATER);
  }
  if (error != 0) {
    flush(run);
    report_copy_failure(run, entry, error);
    return;
  }
  if (run.device_folder != run.host.fds.back()) {
    run.device_folder = run.host.fds.back();
    run.device = note_device(run.batches, run.device_folder);
  }
  waiting.device = run.device;
  report_copies(run, add_copy(run.batches, std::move(waiting)));
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
  if (taken_over(run.take_overs, entry.rel_path)) {
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
  install_interrupt_cleanup();
  Run run{.local_root = local_root,
          .host_root = host_root,
          .console = console,
          .local = {.root = local_root},
          .host = {.root = host_root},
          .copies = start_copies(console),
          .batches = start_batches(),
          .take_overs = {.entries = entries}};
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
