// A few threads that walk folder trees together. Each takes a subtree from a
// shared stack and walks it; while another thread waits for work, a walk
// hands the next folder it meets on to the stack instead of entering it.
// Each subtree keeps where its files went and where it handed subtrees on,
// so that the order in which one thread alone would have stored them can be
// restored.
//
// A subtree goes through these stages:
//   WAITING  on the stack, its folder open for reading;
//   WALKING  taken by a thread, whose walk records the runs of files it
//            stores and the subtrees it hands on;
//   WALKED   its walk has ended, at the end of its folders or because its
//            tree's walk ended early (final).
#ifndef KELVODA_POOL_HPP_
#define KELVODA_POOL_HPP_

#include <dirent.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Threads that walk the trees of a run, the calling one among them. A cold
// walk waits on the disk, and a disk answers several requests at once
// almost as fast as one. With two 100,000-file trees and the page cache
// dropped, the walk took 0.85 of the time of `find` with 2 threads, about
// 0.6 with 4 and about 0.5 with 8; 16 and 32 gained little more. With a warm
// cache every count costs the same processor time.
inline constexpr std::size_t WALK_THREADS = 8;

// Closes a folder listing.
struct CloseListing {
  void operator()(DIR* listing) const { closedir(listing); }
};
// An open folder listing, closed when it goes out of scope.
using Listing = std::unique_ptr<DIR, CloseListing>;

// Files stored one after the other in a map, from place `first` on.
struct FileRun {
  std::size_t first = 0;
  std::size_t count = 0;
};

// A folder whose walk was handed to the pool, and what that walk stored and
// handed on in its turn.
struct Subtree {
  Listing listing = nullptr;  // WAITING; the walk takes it over
  std::string rel = {};       // its path below its tree's root
  std::size_t tree = 0;       // the walk it belongs to, as its caller counts
  // The files that the walk which handed it on had found before it.
  std::uint64_t splice = 0;
  std::vector<FileRun> runs = {};  // its walk's own files, in walk order
  std::vector<const Subtree*> below = {};  // handed on by its walk, in order
};

// What a thread does with a subtree it takes.
using WalkSubtree = std::function<void(Subtree&)>;

// The threads' shared state. `hungry` may be read without the lock.
struct Pool {
  std::mutex mutex = {};
  std::condition_variable wake = {};   // a subtree waits, or all are walked
  std::deque<Subtree> subtrees = {};   // every one, in place while the pool is
  std::vector<Subtree*> waiting = {};  // the stack of WAITING subtrees
  std::size_t threads = 1;             // running, the calling one among them
  std::size_t idle = 0;                // threads that wait for a subtree
  std::atomic<bool> hungry = false;    // more idle threads than waiting work
  bool done = false;  // no subtree waits and every thread is idle
  const WalkSubtree* walk = nullptr;
};

// Returns the threads to walk with: WALK_THREADS, or 1 where the process may
// run on one core only, where more threads would only take turns.
std::size_t walk_threads();

// Adds the root folder `listing` of the walk `tree` as a WAITING subtree and
// returns it. The root added last is walked first.
Subtree& add_root(Pool& pool, Listing listing, std::size_t tree);

// Hands the folder `listing` at `rel` on to the pool as a subtree below
// `from`, whose walk has found `found` files so far, if a thread waits for
// work: then takes the listing over and returns true. Otherwise returns
// false and leaves the listing with the caller.
bool hand_on(Pool& pool, Subtree& from, std::uint64_t found, Listing& listing,
             std::string_view rel);

// Runs `walk` on every subtree of `pool`, those handed on meanwhile
// included, with `threads` threads in all: the calling one and as many more
// as can be started, each with every signal blocked, so that signals reach
// the calling thread only. Returns once every subtree is WALKED.
void run_pool(Pool& pool, std::size_t threads, const WalkSubtree& walk);

// Fills `order` with the places of the files that the walks of `root` and
// the subtrees below it stored, in the order one thread alone would have
// stored them: each subtree's own files, with the files of each subtree it
// handed on put where its walk met that folder. Every subtree must have
// been walked to its end.
void walk_order(const Subtree& root, std::vector<std::uint32_t>& order);

#endif  // KELVODA_POOL_HPP_
