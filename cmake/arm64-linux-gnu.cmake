# Cross build for 64-bit ARM Linux with Debian's cross compilers and the
# :arm64 multiarch development packages; the tests run under user-mode
# emulation. scripts/cross.sh installs all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Headers and libraries of the :arm64 packages; programs (python3, openssl)
# are this machine's own.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Runs the test programs (CTest, test discovery) and, through
# TOKEN_HOST_TEST_LAUNCHER, the programs the tests start. The guest's
# loader and libraries come from the multiarch packages, so no -L.
find_program(TOKEN_HOST_QEMU_AARCH64 qemu-aarch64-static)
if(TOKEN_HOST_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TOKEN_HOST_QEMU_AARCH64}")
endif()

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
