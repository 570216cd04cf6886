# Cross-build for the device's processor (ARMv7, hard float) with Debian's
# arm-linux-gnueabihf toolchain; the binaries run here through qemu-arm-static.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
#         -DARMHF_SYSROOT=DIR
#
# The armhf libraries come from ARMHF_SYSROOT, a Debian 12 armhf tree (scripts/armhf-check.sh
# makes one): librpm-dev, libneon27-dev and libgcrypt20-dev are not Multi-Arch: same in
# bookworm, so their armhf packages cannot be installed beside the amd64 ones that rpm,
# createrepo_c and the native build need.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# try_compile projects read this file again: hand them the sysroot too.
if(NOT DEFINED ARMHF_SYSROOT AND DEFINED ENV{ARMHF_SYSROOT})
  set(ARMHF_SYSROOT $ENV{ARMHF_SYSROOT})
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARMHF_SYSROOT)

if(NOT ARMHF_SYSROOT OR NOT IS_DIRECTORY ${ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf)
  message(FATAL_ERROR "ARMHF_SYSROOT must name a Debian 12 armhf tree (scripts/armhf-check.sh)")
endif()
set(CMAKE_SYSROOT ${ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${ARMHF_SYSROOT})
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ARMHF_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    "${ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${ARMHF_SYSROOT}/usr/share/pkgconfig")

# Programs (pkg-config, clang-format) are the build machine's; libraries, headers and
# CMake packages are the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests run the armhf test binaries through this. qemu looks up
# every absolute path in the tree first: it must hold /usr alone (scripts/armhf-check.sh).
find_program(QEMU_ARM_STATIC qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_ARM_STATIC} -L ${ARMHF_SYSROOT})
