// Setting the capabilities of every thread of the process.
//
// Capabilities belong to each thread: capset changes only the caller's, and a thread inherits its
// creator's at creation. Narrowing the process after the plugins are open must reach the threads
// that already run (the I/O thread, plugin workers and readers, threads plugins started), so every
// other thread listed in /proc/self/task that still holds more than the new set is sent a signal
// whose handler makes the same capset call on that thread. Threads started meanwhile are caught by
// listing again until a pass finds no thread holding more.
#pragma once

#include <cstdint>

namespace kv::core {

// capset for the calling thread: effective = permitted = `set`, nothing inheritable. 0, or -1
// with errno set. Async-signal-safe.
int capsetThread(uint32_t set);

// Sets `set` on the calling thread, then on every other thread of the process. 0, or -1 with
// errno set when a capset failed (the calling thread's failure stops it there: the others would
// fail alike). A thread that doesn't answer within a while (it blocks the signal) is logged and
// left as it is. Once used, the signal's handler stays installed, so that an answer that comes
// late can't take the default action. First thread.
int capsetEveryThread(uint32_t set);

}  // namespace kv::core
