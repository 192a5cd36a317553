// How long the copies still take: a rate of work smoothed over about a
// minute, waits for the disk included, in which a file counts as well as
// its bytes.
#ifndef KELVODA_ESTIMATE_HPP_
#define KELVODA_ESTIMATE_HPP_

#include <cstdint>
#include <optional>

// Copies and their bytes: done so far, or in all.
struct Work {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
};

// The rates of a run so far: sums of the time and of the work done in it,
// in which each millisecond and what was done in it weigh less the longer
// ago it was.
struct Estimate {
  std::int64_t time = 0;  // of the last note, in milliseconds
  Work done = {};         // at the last note
  double weighted_time = 0;
  double weighted_work = 0;
  double weighted_bytes = 0;
  double rate = 0;  // work per millisecond, as last used
};

// What an estimate says at one time.
struct Outlook {
  std::uint64_t bytes_per_second = 0;  // 0: no byte moved yet
  std::optional<std::uint64_t> seconds_left = std::nullopt;  // none: no rate
};

// Returns an estimate of work that begins at `now` (milliseconds).
Estimate start_estimate(std::int64_t now);

// Notes that `done` of `total` is done at `now` and returns the smoothed
// byte rate and the seconds left, rounded. Once a fifth of the work is
// done, the rate behind the time left changes by at most a factor of three
// from one note to the next.
Outlook note_work(Estimate& estimate, std::int64_t now, Work done, Work total);

#endif  // KELVODA_ESTIMATE_HPP_
