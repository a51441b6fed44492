# Cross build for the router: 32-bit ARM, hard-float EABI (Debian's arm-linux-gnueabihf).
#
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# Needs g++-arm-linux-gnueabihf, libtomcrypt-dev:armhf and libstdc++6:armhf (multiarch),
# googletest (sources) and qemu-user; scripts/test-armhf installs them. Programs built here run on the build machine
# through qemu-arm user emulation, which CTest uses for every test.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QV_TARGET_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${QV_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QV_TARGET_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QV_TARGET_TRIPLE})

# GCC notes on every std::vector of 64-bit elements that its ARM parameter passing changed in
# GCC 7.1; everything here is built by one compiler, so the note never applies.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Target libraries and headers come from the cross sysroot and the multiarch directories;
# programs (pkg-config, qemu) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QV_TARGET_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see only the armhf .pc files, never the build machine's: a host library
# found here would link for the wrong architecture.
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib/${QV_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Test programs run through user-mode emulation against Debian's multiarch armhf runtime
# (libc6, libstdc++6 and libgcc-s1 :armhf, next to libtomcrypt1:armhf). No -L prefix on
# purpose: the cross sysroot's dynamic loader would pick up the multiarch libc through the
# shared loader cache, and that mixed pair crashes every forked child.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
