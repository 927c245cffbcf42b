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
# test discovery, end-to-end runs) run under qemu-user.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# The C library and start files of the cross toolchain.
set(HALVORPIN_MIPSEL_LIBC_ROOT /usr/mipsel-linux-gnu)

# This file is read again inside every try_compile project, where
# CMAKE_BINARY_DIR is a scratch folder: hand the sysroot location on.
if(NOT HALVORPIN_MIPSEL_SYSROOT)
  set(HALVORPIN_MIPSEL_SYSROOT "${CMAKE_BINARY_DIR}/sysroot" CACHE PATH
      "Folder with the unpacked mipsel OpenSSL packages (scripts/mipsel-sysroot.sh)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HALVORPIN_MIPSEL_SYSROOT)
set(_sysroot "${HALVORPIN_MIPSEL_SYSROOT}")
set(_sysroot_lib "${_sysroot}/usr/lib/mipsel-linux-gnu")

# The runner command below is handed on as one space-separated string.
if(_sysroot MATCHES "[ \t]")
  message(FATAL_ERROR "HALVORPIN_MIPSEL_SYSROOT must not contain blanks: ${_sysroot}")
endif()

get_property(_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _in_try_compile AND NOT EXISTS "${_sysroot}/usr/include/openssl/ssl.h")
  get_filename_component(_repo "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  message(FATAL_ERROR
    "No mipsel OpenSSL in ${_sysroot}. Unpack it first with:\n"
    "  bash ${_repo}/scripts/mipsel-sysroot.sh ${_sysroot}")
endif()

# Libraries, headers and packages come from the target folders only;
# programs (python3, qemu) from the host.
set(CMAKE_FIND_ROOT_PATH "${HALVORPIN_MIPSEL_LIBC_ROOT}" "${_sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# find_package(OpenSSL) takes these as found.
set(OPENSSL_ROOT_DIR "${_sysroot}/usr")
set(OPENSSL_INCLUDE_DIR "${_sysroot}/usr/include")
set(OPENSSL_CRYPTO_LIBRARY "${_sysroot_lib}/libcrypto.so")
set(OPENSSL_SSL_LIBRARY "${_sysroot_lib}/libssl.so")

# Debian keeps OpenSSL's architecture-specific headers (configuration.h,
# opensslconf.h) in a multiarch folder that the cross compiler does not
# search. The cross compiler does search the host's /usr/include, so the
# sysroot's headers must come first, which -isystem on the command line
# ensures.
set(CMAKE_C_FLAGS_INIT
    "-isystem ${_sysroot}/usr/include -isystem ${_sysroot}/usr/include/mipsel-linux-gnu")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")

# libssl.so.3 names libcrypto.so.3, which the linker must find at link time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_sysroot_lib}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_sysroot_lib}")

# Run target programs under qemu-user with the cross C library and the
# sysroot's OpenSSL. ctest and gtest_discover_tests use the emulator list;
# the end-to-end tests take the same command as one string.
find_program(HALVORPIN_QEMU_MIPSEL qemu-mipsel REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${HALVORPIN_QEMU_MIPSEL};-L;${HALVORPIN_MIPSEL_LIBC_ROOT};-E;LD_LIBRARY_PATH=${_sysroot_lib}")
string(REPLACE ";" " " _runner "${CMAKE_CROSSCOMPILING_EMULATOR}")
set(HALVORPIN_TARGET_RUNNER "${_runner}" CACHE STRING
    "Command prefix that runs a target binary (qemu-user for cross builds)" FORCE)
