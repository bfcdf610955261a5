# 32-bit ARM (armhf) as cmake/armhf.cmake, compiled with clang instead of
# gcc: the compiler the NDK uses, so its warnings (and the calls it emits
# on its own) are seen here too. Links with Debian's cross toolchain.
include(${CMAKE_CURRENT_LIST_DIR}/armhf.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${KAL_CROSS_TRIPLET})
set(CMAKE_CXX_COMPILER_TARGET ${KAL_CROSS_TRIPLET})
