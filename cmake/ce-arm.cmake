# Toolchain for the device images: Windows CE on ARM, built with Debian's
# stock LLVM (clang, ld.lld, llvm-objcopy) in place of a CE SDK.
#
# Each image sets its own target and instruction set (platform/device):
# ARMv4 ARM code for CE 3.0 to 7, ARMv7-A Thumb-2 for CE 8. The code is
# compiled against no library or system header of the build machine: what
# the device provides is declared by platform/ and imported at load time.

set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)

# Nothing from the build machine may be linked, so CMake's own compiler
# checks stop at the object file.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_C_FLAGS_INIT "-fno-exceptions -fno-unwind-tables -fno-asynchronous-unwind-tables")
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT} -fno-rtti")
# lld 14 warns on every ARMv4 link that it "uses blx"; it only would to
# switch between ARM and Thumb code, which the ARMv4 image never contains
# (the instruction-set test proves it).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib -fuse-ld=lld -Wl,--build-id=none")

find_program(STOWKEY_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
