// What happens when a run is interrupted: the hidden files and staged
// folders it has made are removed, then the process ends by the signal as
// it would have without a handler.
#ifndef KELVODA_INTERRUPT_HPP_
#define KELVODA_INTERRUPT_HPP_

#include <cstddef>

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

// Registers the hidden entry `name` (at most 39 bytes) of kind `kind` in the
// open folder `folder`, before it is made, so that an interrupt removes it;
// `name` may be empty for an entry that is only a descriptor to close (see
// `register_descriptor`). Returns the slot, or -1 with errno EMFILE when
// the table is full.
int register_hidden(int folder, const char* name, Hidden kind);

// Registers `file`, a descriptor that the handler closes before it removes
// anything, since a FUSE driver keeps a file that is still open under a
// new hidden name instead of removing it. With `slot` -1 a slot is taken
// for the descriptor alone; returns the slot, or -1 with errno EMFILE.
int register_descriptor(int slot, int file);

// The name registered in `slot`.
const char* hidden_name(int slot);

// Forgets `slot`: its entry has its final name or is gone, and its
// descriptor is closed or no longer the handler's to close.
void unregister_hidden(int slot);

// Removes the folder `name` of `parent` with everything in it, without
// following links and using only calls a signal handler may make. Ends
// once the folder is gone, or when passes over it stop making it smaller.
// Returns whether the folder is gone.
bool remove_tree(int parent, const char* name);

#endif  // KELVODA_INTERRUPT_HPP_
