// Reading ahead of the copies: while a batch is written and made durable,
// the sources of the next copies are already asked of the disk, so that a
// cold disk has many requests to answer at once rather than one after the
// other.
#ifndef KELVODA_READ_AHEAD_HPP_
#define KELVODA_READ_AHEAD_HPP_

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "folders.hpp"
#include "records.hpp"

// The reading ahead of one run, on a thread of its own with a chain of the
// local tree's folders of its own.
struct ReadAhead {
  const std::vector<DiffEntry>& entries;
  FolderChain local;
  pthread_t thread = {};
  std::mutex lock = {};
  std::condition_variable moved = {};
  // Guarded by `lock`: the bytes of the copies written so far, and whether
  // the reading is to end.
  std::uint64_t written = 0;
  bool stop = false;
};

// Ends the reading and waits for its thread, then frees it.
struct StopReadAhead {
  void operator()(ReadAhead* reading) const;
};
using ReadingAhead = std::unique_ptr<ReadAhead, StopReadAhead>;

// Starts reading ahead of the copies of `entries` (NEWER, MISSING and
// REPLACED ones, in order) from the local tree at `local_root`, held as
// `held`, as far as a batch's worth of bytes and files. Returns null where
// there are too few copies for it to matter or no thread can start. Reads
// nothing itself and prints nothing.
ReadingAhead start_read_ahead(const std::vector<DiffEntry>& entries,
                              const std::string& local_root,
                              std::shared_ptr<const UniqueFd> held);

// Tells the reading that the copies have written `bytes` in all, so it may
// go on further.
void copies_wrote(ReadAhead& reading, std::uint64_t bytes);

#endif  // KELVODA_READ_AHEAD_HPP_
