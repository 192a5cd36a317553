// The copies' side of a run: which folders a copy needs, which file system
// it lands on, and what is done with a name that is taken or a copy that
// found no room.
#include "writes.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <utility>

#include "messages.hpp"
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

// Descriptors a run needs besides its two chains of folders: sources and
// copies being written, the batches' least, a folder opened again.
constexpr std::size_t BESIDES_CHAINS = 16;

// Whether a copy failed for lack of room, which the run's deletions may free.
bool out_of_room(const Writes& writes, int error) {
  return writes.attempt == Attempt::FIRST &&
         (error == ENOSPC || error == EDQUOT);
}

void report_copy_failure(Writes& writes, const DiffEntry& entry, int error) {
  report_failure(
      writes.console,
      copying_action(writes.console, join(writes.local_root, entry.rel_path),
                     join(writes.host_root, entry.rel_path)),
      error);
}

// The new file of `entry` found its name taken on the host by what the scan
// did not list, or by what appeared since: what the run deletes anyway or
// what is no regular file makes way, and the copy is written again over it.
// Returns 0 or the error number.
int make_way(Writes& writes, const DiffEntry& entry) {
  const auto [folder, name] = split(entry.rel_path);
  if (const int error = open_folders(writes.claims, folder, Create::NO);
      error != 0) {
    return error;
  }
  const int at = deepest_fd(writes.claims);
  if (const int error =
          clear_file_way(writes.clearing, writes.console, at, entry.rel_path);
      error != 0) {
    return error;
  }
  if (const int error = open_folders(writes.local, folder, Create::NO);
      error != 0) {
    return error;
  }
  PendingCopy pending{.folder = writes.claims.levels.back().fd,
                      .name = name,
                      .target = Target::REPLACE};
  const int error =
      write_copy(writes.copies, deepest_fd(writes.local), pending, Sync::NOW);
  return error != 0 ? error : place_copy(pending);
}

// Reports the outcome of each copy of `done`, in order.
void report_copies(Writes& writes, const std::vector<WaitingCopy>& done) {
  for (const WaitingCopy& waiting : done) {
    const DiffEntry& entry = *waiting.entry;
    if (entry.type == TAKEN) {
      report_taken(writes.console, writes.local_root, writes.host_root, entry);
      continue;
    }
    int error = waiting.stage == CopyStage::PLACED ? 0 : waiting.error;
    if (error == EEXIST && entry.type == MISSING &&
        waiting.copy.target != Target::STAGED) {
      error = make_way(writes, entry);
    }
    if (out_of_room(writes, error)) {
      writes.no_room.push_back(&entry);
      continue;
    }
    if (error != 0) {
      report_copy_failure(writes, entry, error);
      continue;
    }
    status_count(writes.console, Counted::COPIED, entry.size);
    writes.changed = true;
  }
}

// Opens the host folders of `folder`, making those that are missing. A
// link, a special file or a file due for deletion in the way is removed
// first. Returns 0 or the error number.
int open_target_folders(Writes& writes, std::string_view folder) {
  for (bool flushed = false;;) {
    const int error = open_host_folders(writes.host, writes.batches,
                                        writes.copies, folder, Create::YES);
    if (error != ENOTDIR) {
      return error;
    }
    if (!flushed) {
      // The earlier copies' messages come before a removal's; placing them
      // may let the chain go, so the folders are opened again.
      flush(writes);
      flushed = true;
      continue;
    }
    // The chain holds the levels that could be opened; the next name is the
    // one in the way.
    std::size_t end = folder.find('/');
    for (std::size_t level = 0;
         level < depth(writes.host.chain) && end != std::string_view::npos;
         ++level) {
      end = folder.find('/', end + 1);
    }
    if (!clear_folder_way(writes.clearing, writes.console,
                          deepest_fd(writes.host.chain),
                          folder.substr(0, end))) {
      return error;
    }
    writes.changed = true;
  }
}

// Where the copy of `entry` failed: making its folder or the copy itself.
enum class Failed { FOLDER, COPY };

// Writes the copy of `entry` into its host folder, made as needed, and adds
// it to the batch being filled. Returns 0 or the error number, with
// `failed` telling what failed.
int write_copy_of(Writes& writes, const DiffEntry& entry, Failed& failed) {
  const auto [folder, name] = split(entry.rel_path);
  failed = Failed::FOLDER;
  if (const int error = open_target_folders(writes, folder); error != 0) {
    return error;
  }
  failed = Failed::COPY;
  const std::shared_ptr<StagedFolder> staged = staged_above(writes.host);
  if (staged != nullptr && staged->error != 0) {
    return staged->error;
  }
  const bool open_staged =
      staged != nullptr && staged->stage == FolderStage::OPEN;
  WaitingCopy waiting{.entry = &entry,
                      .copy = {.folder = writes.host.chain.levels.back().fd,
                               .name = name,
                               .target = entry.type != MISSING ? Target::REPLACE
                                         : open_staged         ? Target::STAGED
                                                               : Target::NEW},
                      .staged = staged,
                      .created = writes.host.chain.levels.back().created};
  int error = open_folders(writes.local, folder, Create::NO);
  if (error == 0) {
    error = write_copy(writes.copies, deepest_fd(writes.local), waiting.copy,
                       Sync::LATER);
  }
  if (error != 0) {
    return error;
  }
  note_host_device(writes);
  waiting.device = writes.device;
  report_copies(writes, add_copy(writes.batches, std::move(waiting),
                                 open_levels(writes.local) +
                                     open_levels(writes.host.chain)));
  return 0;
}

// Writes the copy of `entry`, made as needed; reports a failure, or keeps
// a copy that found no room for another attempt.
void try_copy(Writes& writes, const DiffEntry& entry) {
  Failed failed = Failed::COPY;
  int error = write_copy_of(writes, entry, failed);
  if (error == EMFILE) {
    flush(writes);  // the waiting copies give their descriptors back
    error = write_copy_of(writes, entry, failed);
  }
  if (error == 0) {
    return;
  }
  flush(writes);  // the earlier copies' messages come first
  if (out_of_room(writes, error)) {
    writes.no_room.push_back(&entry);
    return;
  }
  if (failed == Failed::FOLDER) {
    report_failure(writes.console,
                   path_action(writes.console, "Erstellen des Verzeichnisses",
                               fs::path(join(writes.host_root, entry.rel_path))
                                   .parent_path()
                                   .native()),
                   error);
    return;
  }
  report_copy_failure(writes, entry, error);
}

}  // namespace

void note_host_device(Writes& writes) {
  const std::shared_ptr<const UniqueFd>& folder =
      writes.host.chain.levels.back().fd;
  if (writes.device_folder.owner_before(folder) ||
      folder.owner_before(writes.device_folder)) {
    writes.device_folder = folder;
    writes.device = note_device(writes.batches, folder,
                                writes.host.chain.levels.front().fd);
  }
}

void flush(Writes& writes) {
  report_copies(writes, flush_batches(writes.batches));
  forget_filled(writes.host);
}

void write_entry(Writes& writes, const DiffEntry& entry) {
  say(writes.console, Stream::OUT,
      shown(writes.console, Stream::OUT,
            join(writes.local_root, entry.rel_path)) +
          " -> " +
          shown(writes.console, Stream::OUT,
                join(writes.host_root, entry.rel_path)) +
          "\n");
  // A taken name copies nothing.
  status_copy_start(writes.console, entry.rel_path,
                    entry.type == TAKEN ? 0 : entry.size);
  if (entry.wave != writes.wave) {
    // The names of the earlier wave are in place before this one's come.
    flush(writes);
    writes.wave = entry.wave;
  }
  if (entry.type == TAKEN) {
    // Reported in its turn with the copies around it; nothing is written.
    report_copies(
        writes,
        add_copy(writes.batches,
                 {.entry = &entry, .stage = CopyStage::FAILED, .error = EEXIST},
                 open_levels(writes.local) + open_levels(writes.host.chain)));
    return;
  }
  try_copy(writes, entry);
  writes.written += entry.size;
  if (writes.reading != nullptr) {
    copies_wrote(*writes.reading, writes.written);
  }
}

void write_again(Writes& writes) {
  writes.attempt = Attempt::AGAIN;
  for (const DiffEntry* entry : std::exchange(writes.no_room, {})) {
    try_copy(writes, *entry);
  }
  flush(writes);
}

Writes start_writes(const std::vector<DiffEntry>& entries,
                    const std::string& local_root, const std::string& host_root,
                    const HeldRoots& roots, Console& console) {
  Writes writes{.local_root = local_root,
                .host_root = host_root,
                .console = console,
                .local = {.root = local_root, .held = roots.local},
                .host = {.chain = {.root = host_root, .held = roots.host}},
                .copies = start_copies(console),
                .batches = start_batches(),
                .clearing = {.entries = entries,
                             .host_root = host_root,
                             .held = roots.host},
                .claims = {.root = host_root, .held = roots.host}};
  std::size_t deepest = 0;
  for (const DiffEntry& entry : entries) {
    deepest = std::max(deepest, depth_of(entry.rel_path));
  }
  if (2 * deepest + BESIDES_CHAINS > writes.batches.free_files) {
    writes.local.holding = Holding::DEEPEST;
    writes.host.chain.holding = Holding::DEEPEST;
    writes.claims.holding = Holding::DEEPEST;
  } else {
    writes.reading = start_read_ahead(entries, local_root, roots.local);
  }
  return writes;
}
