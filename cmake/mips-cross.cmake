# What the 32-bit MIPS cross builds share, big-endian (mips-linux-gnu.cmake)
# and little-endian (mipsel-linux-gnu.cmake), with Debian's cross compilers
# and C library for the target. The including file sets:
#
#   HALVORPIN_MIPS_ARCH            mips or mipsel
#   HALVORPIN_MIPS_OPENSSL_ROOT    the folder holding the target's OpenSSL
#   HALVORPIN_MIPS_OPENSSL_INCLUDE its header folders
#   HALVORPIN_MIPS_OPENSSL_LIB     the folder of libssl.so and libcrypto.so
#   HALVORPIN_MIPS_OPENSSL_HINT    the command that makes it (for the error)
#
# Target binaries (unit tests, test discovery, end-to-end runs) run under
# qemu-user with the cross C library and that OpenSSL.

set(_arch "${HALVORPIN_MIPS_ARCH}")
set(_triplet "${_arch}-linux-gnu")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${_arch})
set(CMAKE_LIBRARY_ARCHITECTURE ${_triplet})

set(CMAKE_C_COMPILER ${_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${_triplet}-g++)

# The C library and start files of the cross toolchain.
set(_libc_root /usr/${_triplet})
set(_openssl_lib "${HALVORPIN_MIPS_OPENSSL_LIB}")

# The runner command below is handed on as one space-separated string.
if(_openssl_lib MATCHES "[ \t]")
  message(FATAL_ERROR "The ${_arch} OpenSSL folder must not contain blanks: ${_openssl_lib}")
endif()

get_property(_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
list(GET HALVORPIN_MIPS_OPENSSL_INCLUDE 0 _openssl_include)
if(NOT _in_try_compile AND NOT EXISTS "${_openssl_include}/openssl/ssl.h")
  get_filename_component(_repo "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  message(FATAL_ERROR
    "No ${_arch} OpenSSL in ${HALVORPIN_MIPS_OPENSSL_ROOT}. Make it first with:\n"
    "  bash ${_repo}/${HALVORPIN_MIPS_OPENSSL_HINT}")
endif()

# Libraries, headers and packages come from the target folders only;
# programs (python3, qemu) from the host.
set(CMAKE_FIND_ROOT_PATH "${_libc_root}" "${HALVORPIN_MIPS_OPENSSL_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# find_package(OpenSSL) takes these as found.
set(OPENSSL_ROOT_DIR "${HALVORPIN_MIPS_OPENSSL_ROOT}")
set(OPENSSL_INCLUDE_DIR "${_openssl_include}")
set(OPENSSL_CRYPTO_LIBRARY "${_openssl_lib}/libcrypto.so")
set(OPENSSL_SSL_LIBRARY "${_openssl_lib}/libssl.so")

# The cross compiler also searches the host's /usr/include, so the target's
# OpenSSL headers must come first, which -isystem on the command line
# ensures.
list(TRANSFORM HALVORPIN_MIPS_OPENSSL_INCLUDE PREPEND "-isystem " OUTPUT_VARIABLE _includes)
list(JOIN _includes " " CMAKE_C_FLAGS_INIT)
# Position-dependent code: MIPS position-independent code reaches every
# function and global through the GOT and costs the unit a tenth of its
# flash (11 KB). The executable is bound at start (-z now); the libraries,
# stack and heap it maps are still placed at random. Its calls into libc and
# OpenSSL go through a PLT (-mplt), which glibc's (2.9 on) and musl's loaders bind,
# instead of a lazy stub and a GOT load at each call (7 KB).
string(APPEND CMAKE_C_FLAGS_INIT " -fno-pie -mplt")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT}")
set(CMAKE_POSITION_INDEPENDENT_CODE OFF)

# libssl.so.3 names libcrypto.so.3, which the linker must find at link time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-no-pie -Wl,-z,now -Wl,-rpath-link,${_openssl_lib}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_openssl_lib}")

# Run target programs under qemu-user with the cross C library and the
# target's OpenSSL. A host preload (libfaketime, which a test puts on qemu
# to set the unit's clock) is for qemu alone: the target's loader cannot
# load it and would say so on standard error. ctest and
# gtest_discover_tests use the emulator list; the end-to-end tests take the
# same command as one string.
string(TOUPPER "${_arch}" _arch_upper)
find_program(HALVORPIN_QEMU_${_arch_upper} qemu-${_arch} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${HALVORPIN_QEMU_${_arch_upper}};-L;${_libc_root};-E;LD_LIBRARY_PATH=${_openssl_lib};-U;LD_PRELOAD")
string(REPLACE ";" " " _runner "${CMAKE_CROSSCOMPILING_EMULATOR}")
set(HALVORPIN_TARGET_RUNNER "${_runner}" CACHE STRING
    "Command prefix that runs a target binary (qemu-user for cross builds)" FORCE)
