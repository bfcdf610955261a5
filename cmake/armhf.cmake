# 32-bit ARM (armhf) with Debian's cross toolchain; the binaries run on this
# machine under qemu-user, which is how ctest and the end-to-end tests start
# them (see KAL_EMULATOR_COMMAND in the top-level CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KAL_CROSS_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${KAL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KAL_CROSS_TRIPLET}-g++)

# Libraries and headers of the target: Debian's multiarch armhf packages.
set(CMAKE_FIND_ROOT_PATH /usr/${KAL_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE ${KAL_CROSS_TRIPLET})
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KAL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# The programs run on the armhf runtime packages (libc6:armhf, libstdc++6:armhf,
# libcjson1:armhf) at their multiarch paths. Not the cross toolchain's own
# copies under /usr/arm-linux-gnueabihf: its loader may be a different
# release from the packaged C library, and a child crashes after fork.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
