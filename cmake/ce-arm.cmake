# Toolchain for the device images: Windows CE on ARM, built with Debian's
# stock LLVM (clang, ld.lld, llvm-objcopy) in place of a CE SDK.
#
# Each image sets its own target and instruction set (platform/device):
# ARMv4 ARM code for CE 3.0 to 7, ARMv7-A Thumb-2 for CE 8. The code is
# compiled against no library or system header of the build machine: what
# the device provides is declared by platform/ and imported at load time.
#
# The LLVM is chosen as cmake/llvm.cmake says: a C++ compiler given with
# CMAKE_CXX_COMPILER or CXX, else -DSTOWKEY_LLVM_VERSION=N, else the
# clang++ on PATH; every other tool is taken from that same version.

set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

include("${CMAKE_CURRENT_LIST_DIR}/llvm.cmake")
# CMake reads this file again for each of its compiler checks.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES STOWKEY_LLVM_VERSION)
set(given_cxx "${CMAKE_CXX_COMPILER}")
if(NOT given_cxx AND DEFINED ENV{CXX})
  set(given_cxx "$ENV{CXX}")
endif()
set(given_asm "${CMAKE_ASM_COMPILER}")
if(NOT given_asm AND DEFINED ENV{ASM})
  set(given_asm "$ENV{ASM}")
endif()
stowkey_find_llvm(CXX "${given_cxx}" ASM "${given_asm}")
set(CMAKE_CXX_COMPILER "${STOWKEY_CLANGXX}")
set(CMAKE_ASM_COMPILER "${STOWKEY_CLANG}")

# Nothing from the build machine may be linked, so CMake's own compiler
# checks stop at the object file.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_CXX_FLAGS_INIT "-fno-exceptions -fno-unwind-tables -fno-asynchronous-unwind-tables -fno-rtti")
# The linker of the chosen version by path: clang alone would take any
# ld.lld on PATH when its own version's lld is not installed. -O0 keeps
# string constants in the order the compiler wrote them: merged, they are
# ordered by a hash that changed between lld 14 and 19, and so would the
# bytes of the images.
# ld.lld 14 and 15 warn on every ARMv4 link that it "uses blx"; it only
# would to switch between ARM and Thumb code, which the ARMv4 image never
# contains (the instruction-set test proves it). From 16 on they do not.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib --ld-path=${STOWKEY_LLD} -Wl,--build-id=none -Wl,-O0")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
