// Suppressions built into the ThreadSanitizer build of kelvoda, so that every
// run of it has them: also a run as another user, who may not be able to
// read the source tree, and a copy of the binary elsewhere.
//
// signal: the handler of SIGINT, SIGTERM and SIGHUP removes the run's
// temporary files, which may change errno, and raises the signal again, which
// ends the process once the handler returns; nothing reads errno after it.
// ThreadSanitizer calls the handler later than the kernel would, at its next
// intercepted call, and reports the changed errno when the handler returns,
// before the raised signal ends the process.
extern "C" const char* __tsan_default_suppressions() {
  return "signal:remove_pending_and_die\n";
}
