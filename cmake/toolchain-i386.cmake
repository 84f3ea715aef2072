# 32-bit x86 build on an x86-64 Debian host: the host compiler with -m32, Debian's i386
# multiarch packages for every dependency, and qemu-i386 to run what was built, because the
# kernel of a build machine need not run 32-bit programs itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# 64-bit file offsets and times, as on x86-64: without them stat and readdir fail with
# EOVERFLOW on large files and on file systems with 64-bit inode numbers, and times end in
# 2038. The compiler driver links with the same flags, so -m32 reaches the linker too.
# SSE2 with scalar float math in SSE registers: the math types keep their rows in SSE
# registers, and floats round as on x86-64 instead of in the x87's wider registers.
set(YR_I386_FLAGS "-m32 -msse2 -mfpmath=sse -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "${YR_I386_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${YR_I386_FLAGS}")

# Libraries, headers and package files come from the i386 multiarch directories; programs
# (cmake, pkg-config, the emulator) are the host's.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
set(CMAKE_SYSTEM_LIBRARY_PATH /usr/lib/i386-linux-gnu /lib/i386-linux-gnu)

# pkg-config must only see the i386 .pc files. The environment is what pkg-config reads, so
# it is set here for every pkg_check_modules call of the configure run.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Tests, test discovery and helper programs run under the emulator. -L / lets it find the
# i386 loader (/lib/ld-linux.so.2) and libraries of the multiarch tree.
find_program(YR_QEMU_I386 NAMES qemu-i386 qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${YR_QEMU_I386};-L;/")
