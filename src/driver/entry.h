// The process entry's platform side: the last-resort fault guard and stream preparation.
// Defined in entry-win32.cc / entry-posix.cc.
#ifndef SHRINK_DRIVER_ENTRY_H_
#define SHRINK_DRIVER_ENTRY_H_

/// Puts the last-resort guard in place: a fault that nothing handles ends the process at once
/// with status 1 (after restoring the terminal), without the normal exit.
void EntryInstallFaultGuard();

#endif  // SHRINK_DRIVER_ENTRY_H_
