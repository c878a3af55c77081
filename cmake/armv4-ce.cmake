# Toolchain for stowkey.exe: Windows CE on any ARM processor, built with
# Debian's stock LLVM (clang, ld.lld, llvm-objcopy) in place of a CE SDK.
#
# ARMv4 in ARM state is what every ARM CE 3.0+ device runs, StrongARM
# included. The code is compiled hosted (CE supplies the C runtime, as c.dll)
# but against no library or system header of the build machine: what the
# device provides is declared by platform/ and imported at load time.

set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(STOWKEY_DEVICE_TARGET armv4-none-eabi)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${STOWKEY_DEVICE_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${STOWKEY_DEVICE_TARGET})
set(CMAKE_ASM_COMPILER_TARGET ${STOWKEY_DEVICE_TARGET})

# Nothing from the build machine may be linked, so CMake's own compiler
# checks stop at the object file.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(STOWKEY_DEVICE_FLAGS
    "-marm -mfloat-abi=soft -fno-exceptions -fno-unwind-tables -fno-asynchronous-unwind-tables")
set(CMAKE_C_FLAGS_INIT "${STOWKEY_DEVICE_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${STOWKEY_DEVICE_FLAGS} -fno-rtti")
set(CMAKE_ASM_FLAGS_INIT "-marm")
# lld 14 warns on every ARMv4 link that it "uses blx"; it only would to
# switch between ARM and Thumb code, which this image never contains (the
# instruction-set test proves it).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib -fuse-ld=lld -Wl,--build-id=none")

find_program(STOWKEY_OBJCOPY NAMES llvm-objcopy llvm-objcopy-14 REQUIRED)
find_program(STOWKEY_OBJDUMP NAMES llvm-objdump llvm-objdump-14 REQUIRED)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
