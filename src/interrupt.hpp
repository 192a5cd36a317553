// What happens when a run is interrupted: the hidden files and staged
// folders it has made are removed, then the process ends by the signal as
// it would have without a handler.
#ifndef KELVODA_INTERRUPT_HPP_
#define KELVODA_INTERRUPT_HPP_

#include <cstddef>
#include <utility>

// The most entries registered at one time. Each waiting copy holds one at
// most (its hidden file, or its descriptor in a staged folder) and each
// staged folder one, and at most two batches of copies wait; a full table
// refuses a registration with EMFILE.
inline constexpr int MAX_WAITING_COPIES = 8192;
inline constexpr std::size_t MAX_HIDDEN = 2 * MAX_WAITING_COPIES + 8;

// What a registered entry is: a hidden file, removed by its name; or a
// staged folder, removed with everything in it.
enum class Hidden { HIDDEN_FILE, STAGED_FOLDER };

// Installs the handlers of SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE,
// except for a signal the process was started with ignored (nohup). The
// handler closes the registered descriptors, removes the registered
// entries, erases the status line and ends the process by the same signal;
// a second signal meanwhile ends it at once. The exit status is then 128 +
// the signal, as without the handler. What is still registered when the
// process exits is removed as well.
void install_interrupt_cleanup();

// An entry of the handler's table: while the handle lives, an interrupt
// closes its descriptor and removes its hidden entry; once the entry has its
// final name or is gone, the handle gives the slot back. Move-only.
class HiddenEntry {
 public:
  HiddenEntry() = default;
  HiddenEntry(HiddenEntry&& other) noexcept
      : index(std::exchange(other.index, -1)) {}
  HiddenEntry& operator=(HiddenEntry&& other) noexcept {
    reset();
    index = std::exchange(other.index, -1);
    return *this;
  }
  HiddenEntry(const HiddenEntry&) = delete;
  HiddenEntry& operator=(const HiddenEntry&) = delete;
  ~HiddenEntry() { reset(); }

  bool valid() const { return index >= 0; }
  // The name registered, which must be valid.
  const char* name() const;
  // Registers `file` as the descriptor the handler closes before it removes
  // anything (a FUSE driver keeps a file that is still open under a new
  // hidden name instead of removing it); -1 once it is closed.
  void set_file(int file) const;
  // Gives the slot back: the entry has its final name or is gone.
  void reset();

 private:
  friend HiddenEntry register_hidden(int folder, const char* name, Hidden kind);
  explicit HiddenEntry(int slot) : index(slot) {}
  int index = -1;  // the slot in the table
};

// Registers the hidden entry `name` (at most 39 bytes) of kind `kind` in the
// open folder `folder`, before it is made, so that an interrupt removes it;
// `name` may be empty for an entry that is only a descriptor to close.
// Returns its handle, one that is not valid with errno EMFILE when the table
// is full.
HiddenEntry register_hidden(int folder, const char* name, Hidden kind);

// Removes the folder `name` of `parent` with everything in it, without
// following links and using only calls a signal handler may make. Ends
// once the folder is gone, or when passes over it stop making it smaller.
// Returns whether the folder is gone.
bool remove_tree(int parent, const char* name);

#endif  // KELVODA_INTERRUPT_HPP_
