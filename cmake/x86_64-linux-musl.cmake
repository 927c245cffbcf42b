# Build for x86-64 Linux with the musl C library instead of glibc: Debian's
# gcc and g++ with musl's headers, start files and libc (packages musl-dev,
# musl-tools), OpenSSL built from source for musl and linked in statically.
#
#   bash scripts/openssl-from-source.sh x86_64-linux-musl build-musl/openssl
#   cmake -B build-musl -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-linux-musl.cmake
#   cmake --build build-musl && ctest --test-dir build-musl
#
# The binaries run on the host through musl's dynamic loader
# (/lib/ld-musl-x86_64.so.1, package musl), which is also its libc.
#
# Debian has no C++ library built for musl. The client needs none (only
# header code, see src/driver/runtime.cpp), so it compiles against
# libstdc++'s headers and musl's C headers and links musl's libc and libgcc
# only: a link that needed the C++ library would fail. So does GoogleTest's:
# this build runs the end-to-end tests alone (tests/CMakeLists.txt).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER x86_64-linux-gnu-g++)

set(_musl_specs /usr/lib/x86_64-linux-musl/musl-gcc.specs)
if(NOT EXISTS "${_musl_specs}")
  message(FATAL_ERROR "No musl toolchain (${_musl_specs}): apt-get install musl-dev musl-tools")
endif()

# This file is read again inside every try_compile project, where
# CMAKE_BINARY_DIR is a scratch folder: hand the OpenSSL location on.
if(NOT HALVORPIN_MUSL_OPENSSL)
  set(HALVORPIN_MUSL_OPENSSL "${CMAKE_BINARY_DIR}/openssl" CACHE PATH
      "OpenSSL built for musl (scripts/openssl-from-source.sh x86_64-linux-musl)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HALVORPIN_MUSL_OPENSSL)
set(_openssl "${HALVORPIN_MUSL_OPENSSL}")
get_property(_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _in_try_compile AND NOT EXISTS "${_openssl}/lib/libssl.a")
  get_filename_component(_repo "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  message(FATAL_ERROR "No OpenSSL for musl in ${_openssl}. Build it first with:\n"
    "  bash ${_repo}/scripts/openssl-from-source.sh x86_64-linux-musl ${_openssl}")
endif()

# libstdc++'s header folders of this g++, in the order g++ searches them;
# musl's C headers after them (-nostdinc drops glibc's).
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
  OUTPUT_VARIABLE _gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE _gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(_cxx_includes
  /usr/include/c++/${_gcc_version}
  /usr/include/x86_64-linux-gnu/c++/${_gcc_version}
  /usr/include/c++/${_gcc_version}/backward
  ${_gcc_include}
  /usr/include/x86_64-linux-musl)
list(TRANSFORM _cxx_includes PREPEND "-isystem ")
list(JOIN _cxx_includes " " _cxx_includes)

# musl's own compiler settings (what musl-gcc uses): for C its headers, for
# both its start files, dynamic loader and libc. C++ takes the header
# folders above instead (the specs set C's only). libstdc++'s headers were
# configured for glibc and ask for two of its names: its version test
# (bits/os_defines.h), answered as a current glibc, whose thread and math
# interfaces musl has as well, and its internal name of the locale type
# (bits/c++locale.h).
set(CMAKE_C_FLAGS_INIT "-specs=${_musl_specs}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${_musl_specs} -nostdinc ${_cxx_includes} \
'-D__GLIBC_PREREQ(major,minor)=1' -D__locale_t=locale_t")
# Links take libc and libgcc, nothing else.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nodefaultlibs")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-nodefaultlibs")
set(CMAKE_C_STANDARD_LIBRARIES_INIT "-lc -lgcc")
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-lc -lgcc")
set(HALVORPIN_MUSL ON)

# Libraries and headers from musl and the OpenSSL build only; programs
# (python3) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/lib/x86_64-linux-musl "${_openssl}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# find_package(OpenSSL) takes these as found: the static libraries.
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(OPENSSL_ROOT_DIR "${_openssl}")
set(OPENSSL_INCLUDE_DIR "${_openssl}/include")
set(OPENSSL_CRYPTO_LIBRARY "${_openssl}/lib/libcrypto.a")
set(OPENSSL_SSL_LIBRARY "${_openssl}/lib/libssl.a")

# The binaries run on the host as they are.
set(HALVORPIN_TARGET_RUNNER "" CACHE STRING
    "Command prefix that runs a target binary (qemu-user for cross builds)" FORCE)
