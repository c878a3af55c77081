# The TimeDateStamp of stowkey.exe, and the date of its CAB's entries:
# the date scripts/source-date gives (SOURCE_DATE_EPOCH when it is set,
# else the last commit's time in a git checkout, else 1980-01-01), so that
# the same commit gives the same bytes. STOWKEY_PE_TIMESTAMP, when given,
# wins: the native build hands the value it configured with to the device
# build it starts.
function(stowkey_pe_timestamp out)
  set(source_date "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../scripts/source-date")
  if(DEFINED STOWKEY_PE_TIMESTAMP)
    set(value "${STOWKEY_PE_TIMESTAMP}")
    set(origin "STOWKEY_PE_TIMESTAMP")
  else()
    execute_process(COMMAND "${source_date}" OUTPUT_VARIABLE value
                    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "scripts/source-date cannot date the build (its message is above)")
    endif()
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
      set(origin "SOURCE_DATE_EPOCH")
    else()
      set(origin "the date of the source")
    endif()
    # A new commit or checkout changes the date: configure again then.
    get_filename_component(top "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/.." ABSOLUTE)
    if(EXISTS "${top}/.git/logs/HEAD")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${top}/.git/logs/HEAD")
    endif()
  endif()
  # A PE timestamp is an unsigned 32-bit count of seconds.
  string(LENGTH "${value}" digits)
  if(NOT value MATCHES "^[0-9]+$" OR digits GREATER 10 OR value GREATER 4294967295)
    message(FATAL_ERROR
      "${origin} is '${value}': it must be whole seconds since 1970 from 0 to 4294967295")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
