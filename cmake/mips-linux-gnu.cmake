# Cross build for 32-bit big-endian MIPS Linux with Debian's mips-linux-gnu
# compilers (package crossbuild-essential-mips).
#
#   bash scripts/openssl-from-source.sh mips-linux-gnu build-mips/openssl
#   cmake -B build-mips -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake
#   cmake --build build-mips && ctest --test-dir build-mips
#
# Debian ships no big-endian MIPS packages, so OpenSSL for the target is
# built from Debian's source package, by default into <build>/openssl; set
# HALVORPIN_MIPS_OPENSSL to use another one. Target binaries run under
# qemu-user (cmake/mips-cross.cmake).

set(HALVORPIN_MIPS_ARCH mips)

# This file is read again inside every try_compile project, where
# CMAKE_BINARY_DIR is a scratch folder: hand the OpenSSL location on.
if(NOT HALVORPIN_MIPS_OPENSSL)
  set(HALVORPIN_MIPS_OPENSSL "${CMAKE_BINARY_DIR}/openssl" CACHE PATH
      "OpenSSL built for mips-linux-gnu (scripts/openssl-from-source.sh)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HALVORPIN_MIPS_OPENSSL)

set(HALVORPIN_MIPS_OPENSSL_ROOT "${HALVORPIN_MIPS_OPENSSL}")
set(HALVORPIN_MIPS_OPENSSL_INCLUDE "${HALVORPIN_MIPS_OPENSSL}/include")
set(HALVORPIN_MIPS_OPENSSL_LIB "${HALVORPIN_MIPS_OPENSSL}/lib")
set(HALVORPIN_MIPS_OPENSSL_HINT "scripts/openssl-from-source.sh mips-linux-gnu ${HALVORPIN_MIPS_OPENSSL}")

include(${CMAKE_CURRENT_LIST_DIR}/mips-cross.cmake)
