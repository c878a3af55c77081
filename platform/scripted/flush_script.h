// The scripted registry of the test platforms: which result RegFlushKey
// gives for each predefined root key, and how a call is written to a trace.
// Both the native stand-in and ce-run's emulated coredll.dll use it, so a
// scenario means the same on either.

#ifndef STOWKEY_SCRIPTED_FLUSH_SCRIPT_H
#define STOWKEY_SCRIPTED_FLUSH_SCRIPT_H

#include <cstdint>
#include <string>
#include <string_view>

namespace scripted {

constexpr std::int32_t error_invalid_handle = 6;  // ERROR_INVALID_HANDLE

// HKEY_CLASSES_ROOT .. HKEY_USERS: the predefined keys, in handle order.
constexpr std::uint32_t first_root_key = 0x80000000u;
constexpr int root_key_count = 4;

// The key's name, or nullptr when the handle is not a predefined key.
const char *root_key_name(std::uint32_t handle);

struct FlushScript {
    std::int32_t result[root_key_count] = {};  // every flush succeeds
};

// Applies one "NAME=CODE" setting, CODE being a signed 32-bit decimal or
// 0x-prefixed hexadecimal up to 0xFFFFFFFF. On a bad setting returns false
// with the reason in error and leaves the script as it was.
bool set_flush_result(FlushScript &script, std::string_view setting,
                      std::string &error);

// Applies settings separated by commas or blanks.
bool set_flush_results(FlushScript &script, std::string_view settings,
                       std::string &error);

// The result of flushing handle: scripted for a predefined key,
// error_invalid_handle for anything else.
std::int32_t flush_result(const FlushScript &script, std::uint32_t handle);

// "RegFlushKey(HKEY_CURRENT_USER) = 5"; a handle that is not a
// predefined key is written in hex.
std::string flush_trace_line(std::uint32_t handle, std::int32_t result);

}  // namespace scripted

#endif
