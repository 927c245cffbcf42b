# Cross build for 32-bit little-endian MIPS Linux with Debian's
# mipsel-linux-gnu compilers (package crossbuild-essential-mipsel).
#
#   bash scripts/mipsel-sysroot.sh build-mipsel/sysroot
#   cmake -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
#   cmake --build build-mipsel && ctest --test-dir build-mipsel
#
# OpenSSL for the target comes from a private sysroot folder holding the
# unpacked mipsel libssl packages, by default <build>/sysroot; set
# HALVORPIN_MIPSEL_SYSROOT to use another one. Target binaries (unit tests,
# test discovery, end-to-end runs) run under qemu-user (cmake/mips-cross.cmake).

set(HALVORPIN_MIPS_ARCH mipsel)

# This file is read again inside every try_compile project, where
# CMAKE_BINARY_DIR is a scratch folder: hand the sysroot location on.
if(NOT HALVORPIN_MIPSEL_SYSROOT)
  set(HALVORPIN_MIPSEL_SYSROOT "${CMAKE_BINARY_DIR}/sysroot" CACHE PATH
      "Folder with the unpacked mipsel OpenSSL packages (scripts/mipsel-sysroot.sh)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HALVORPIN_MIPSEL_SYSROOT)

# Debian keeps OpenSSL's architecture-specific headers (configuration.h,
# opensslconf.h) in a multiarch folder beside the common ones.
set(HALVORPIN_MIPS_OPENSSL_ROOT "${HALVORPIN_MIPSEL_SYSROOT}")
set(HALVORPIN_MIPS_OPENSSL_INCLUDE
    "${HALVORPIN_MIPSEL_SYSROOT}/usr/include" "${HALVORPIN_MIPSEL_SYSROOT}/usr/include/mipsel-linux-gnu")
set(HALVORPIN_MIPS_OPENSSL_LIB "${HALVORPIN_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu")
set(HALVORPIN_MIPS_OPENSSL_HINT "scripts/mipsel-sysroot.sh ${HALVORPIN_MIPSEL_SYSROOT}")

include(${CMAKE_CURRENT_LIST_DIR}/mips-cross.cmake)
