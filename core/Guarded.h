// KV_GUARDED_BY(lock): marks a member that is read and written only while `lock` is held. A
// statement for the reader (and for Clang's thread-safety analysis where it is enabled); it
// compiles to nothing under GCC.
#pragma once

#if defined(__clang__)
#define KV_GUARDED_BY(lock) __attribute__((guarded_by(lock)))
#else
#define KV_GUARDED_BY(lock)
#endif
