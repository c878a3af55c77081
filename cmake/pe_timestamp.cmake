# The TimeDateStamp of stowkey.exe: SOURCE_DATE_EPOCH when it is set, so
# that a release build carries a date and still reproduces, else 0.
# STOWKEY_PE_TIMESTAMP, when given, wins: the native build hands the value
# it configured with to the device build it starts.
function(stowkey_pe_timestamp out)
  if(DEFINED STOWKEY_PE_TIMESTAMP)
    set(value "${STOWKEY_PE_TIMESTAMP}")
    set(origin "STOWKEY_PE_TIMESTAMP")
  elseif(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(value "$ENV{SOURCE_DATE_EPOCH}")
    set(origin "SOURCE_DATE_EPOCH")
  else()
    set(value 0)
    set(origin "default")
  endif()
  # A PE timestamp is an unsigned 32-bit count of seconds.
  string(LENGTH "${value}" digits)
  if(NOT value MATCHES "^[0-9]+$" OR digits GREATER 10 OR value GREATER 4294967295)
    message(FATAL_ERROR
      "${origin} is '${value}': it must be whole seconds since 1970 from 0 to 4294967295")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
