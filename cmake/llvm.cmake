# Finds the LLVM the device images are built and checked with: clang,
# clang++, ld.lld, llvm-objcopy, llvm-objdump and llvm-readelf, all of
# one major version, so that no build mixes two LLVMs without saying so.
#
# stowkey_find_llvm(CXX compiler ASM compiler) sets, in the caller's scope,
# STOWKEY_LLVM_MAJOR and STOWKEY_<TOOL> for CLANG, CLANGXX, LLD, OBJCOPY,
# OBJDUMP and READELF. The version is chosen by the first of:
#   - the C++ compiler given (CMAKE_CXX_COMPILER or CXX), then clang is
#     the given ASM compiler, if any, else the one beside it;
#   - STOWKEY_LLVM_VERSION, a major version such as 19: Debian's LLVM N
#     in /usr/lib/llvm-N/bin, else clang++-N on PATH;
#   - the clang++ on PATH.
# The other tools are looked for where clang++ really is, then beside the
# name it was found by, then on PATH, under the plain and the versioned
# name (llvm-objcopy-19). A tool that is missing or of another version
# stops the configure step with a message that names it.
#
# Runs in script mode too (cmake -P), which is how its test drives it.

set(STOWKEY_LLVM_KNOWN_VERSIONS 14 15 16 17 18 19 22)

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(STOWKEY_LLVM_VERSION "" CACHE STRING
    "Major version of the LLVM to build the device images with, such as 19; empty for the clang++ on PATH")
endif()

# The Debian package that provides each tool, in LLVM N.
set(_stowkey_llvm_package_clang clang)
set(_stowkey_llvm_package_clang++ clang)
set(_stowkey_llvm_package_ld.lld lld)
set(_stowkey_llvm_package_llvm-objcopy llvm)
set(_stowkey_llvm_package_llvm-objdump llvm)
set(_stowkey_llvm_package_llvm-readelf llvm)

function(_stowkey_llvm_hint tool version out)
  if(version)
    set(package "${_stowkey_llvm_package_${tool}}-${version}")
  else()
    set(package "${_stowkey_llvm_package_${tool}}")
  endif()
  set(${out} "install Debian's ${package} (apt-get install ${package}), or choose another LLVM with -DSTOWKEY_LLVM_VERSION=N or by putting /usr/lib/llvm-N/bin first on PATH" PARENT_SCOPE)
endfunction()

# The major version a tool reports, or "" if it reports none; clang and
# clang++ must also say that they are clang.
function(_stowkey_llvm_major_of tool program out)
  execute_process(COMMAND "${program}" --version
    OUTPUT_VARIABLE text ERROR_VARIABLE text RESULT_VARIABLE status)
  if(tool MATCHES "^clang")
    set(pattern "clang version ([0-9]+)\\.")
  else()
    set(pattern "([0-9]+)\\.[0-9]+\\.[0-9]+")
  endif()
  set(${out} "" PARENT_SCOPE)
  if(status EQUAL 0 AND text MATCHES "${pattern}")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  endif()
endfunction()

# The full path of a program given by path or by name, or "" if none.
function(_stowkey_llvm_resolve program out)
  if(IS_ABSOLUTE "${program}")
    if(EXISTS "${program}" AND NOT IS_DIRECTORY "${program}")
      set(${out} "${program}" PARENT_SCOPE)
    else()
      set(${out} "" PARENT_SCOPE)
    endif()
    return()
  endif()
  find_program(found NAMES "${program}" NO_CACHE)
  if(found)
    set(${out} "${found}" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# Checks that a found tool is of the chosen version.
function(_stowkey_llvm_check tool program version)
  _stowkey_llvm_major_of(${tool} "${program}" major)
  if(NOT major STREQUAL version)
    _stowkey_llvm_hint(${tool} ${version} hint)
    if(major STREQUAL "")
      set(what "reports no version of LLVM's ${tool}")
    else()
      set(what "is LLVM ${major}")
    endif()
    message(FATAL_ERROR "${tool}: ${program} ${what}, but the chosen LLVM is ${version}: ${hint}")
  endif()
endfunction()

function(stowkey_find_llvm)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "CXX;ASM" "")
  set(wanted "${STOWKEY_LLVM_VERSION}")
  if(NOT wanted STREQUAL "" AND NOT wanted MATCHES "^[1-9][0-9]*$")
    message(FATAL_ERROR "STOWKEY_LLVM_VERSION is '${wanted}': it must be a major version such as 19")
  endif()

  if(arg_CXX)
    _stowkey_llvm_resolve("${arg_CXX}" clangxx)
    set(origin "the C++ compiler given, ${arg_CXX}")
    if(NOT clangxx)
      message(FATAL_ERROR "clang++: the C++ compiler given, ${arg_CXX}, is not found")
    endif()
  elseif(wanted)
    find_program(clangxx NAMES clang++ PATHS "/usr/lib/llvm-${wanted}/bin" NO_DEFAULT_PATH NO_CACHE)
    if(NOT clangxx)
      find_program(clangxx NAMES clang++-${wanted} NO_CACHE)
    endif()
    set(origin "STOWKEY_LLVM_VERSION=${wanted}")
    if(NOT clangxx)
      _stowkey_llvm_hint(clang++ ${wanted} hint)
      message(FATAL_ERROR "clang++ of LLVM ${wanted} is not in /usr/lib/llvm-${wanted}/bin nor on PATH as clang++-${wanted}: ${hint}")
    endif()
  else()
    find_program(clangxx NAMES clang++ NO_CACHE)
    set(origin "the clang++ on PATH")
    if(NOT clangxx)
      _stowkey_llvm_hint(clang++ "" hint)
      message(FATAL_ERROR "clang++ is not on PATH: ${hint}")
    endif()
  endif()

  _stowkey_llvm_major_of(clang++ "${clangxx}" version)
  if(version STREQUAL "")
    message(FATAL_ERROR "clang++: ${clangxx} (${origin}) is not clang: its --version names no clang version")
  endif()
  if(wanted AND NOT version STREQUAL wanted)
    message(FATAL_ERROR "clang++: ${clangxx} (${origin}) is LLVM ${version}, but STOWKEY_LLVM_VERSION is ${wanted}. "
      "A build directory keeps its compiler: configure a new one, or again with --fresh")
  endif()
  if(NOT version IN_LIST STOWKEY_LLVM_KNOWN_VERSIONS)
    message(WARNING "LLVM ${version} (${clangxx}) is untested; the images are known to be the same with LLVM ${STOWKEY_LLVM_KNOWN_VERSIONS}")
  endif()

  # Debian's /usr/bin/clang++-19 leads to /usr/lib/llvm-19/bin, which has
  # every tool of that version under its plain name.
  file(REAL_PATH "${clangxx}" real)
  get_filename_component(real_dir "${real}" DIRECTORY)
  get_filename_component(given_dir "${clangxx}" DIRECTORY)
  set(places "${real_dir}" "${given_dir}" "/usr/lib/llvm-${version}/bin")

  set(found_clang "")
  if(arg_ASM)
    _stowkey_llvm_resolve("${arg_ASM}" found_clang)
    if(NOT found_clang)
      message(FATAL_ERROR "clang: the ASM compiler given, ${arg_ASM}, is not found")
    endif()
  endif()
  foreach(tool IN ITEMS clang ld.lld llvm-objcopy llvm-objdump llvm-readelf)
    string(REGEX REPLACE "^(llvm-|ld\\.)" "" short "${tool}")
    if(tool STREQUAL "clang" AND found_clang)
      set(program "${found_clang}")
    else()
      find_program(program NAMES ${tool} ${tool}-${version} NAMES_PER_DIR
        HINTS ${places} NO_CACHE)
      if(NOT program)
        _stowkey_llvm_hint(${tool} ${version} hint)
        message(FATAL_ERROR "${tool} of LLVM ${version} is not found beside ${clangxx} nor on PATH: ${hint}")
      endif()
    endif()
    _stowkey_llvm_check(${tool} "${program}" ${version})
    string(TOUPPER "${short}" name)
    set(STOWKEY_${name} "${program}" PARENT_SCOPE)
    unset(program)
  endforeach()
  set(STOWKEY_CLANGXX "${clangxx}" PARENT_SCOPE)
  set(STOWKEY_LLVM_MAJOR "${version}" PARENT_SCOPE)
endfunction()
