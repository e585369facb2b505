# Cross build for the camera: 32-bit ARM hard-float Linux, with Debian's cross compilers and the
# armhf libraries of the multiarch archive. Test programs run under user-mode emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KV_TARGET_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${KV_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KV_TARGET_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KV_TARGET_TRIPLE})

# Only the target's multiarch directories may supply libraries; headers are shared with the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KV_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The loader comes from the cross toolchain's sysroot; without LD_LIBRARY_PATH it would read the
# host's loader cache and pair itself with the multiarch C library (pulled in by the armhf -dev
# packages), a different build whose private interfaces differ: thread creation then crashes.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${KV_TARGET_TRIPLE}
    -E LD_LIBRARY_PATH=/usr/${KV_TARGET_TRIPLE}/lib)

# pkg-config (used by some find modules for hints) must describe the target's libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KV_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig)

# A 64-bit time_t (which glibc allows only with 64-bit file offsets), so that wall-clock time and
# local time stay right after 2038-01-19. The public plugin headers carry no time type, so
# plugins built either way still agree with the core.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
