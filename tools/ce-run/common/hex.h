// Addresses and fields as ce-run's messages and traces write them.

#ifndef CE_RUN_HEX_H
#define CE_RUN_HEX_H

#include <cstdint>
#include <cstdio>
#include <string>

// "0x0001c000": zero-padded to digits, wider when the value needs it.
inline std::string hex(std::uint64_t value, int digits = 8)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits,
                  static_cast<unsigned long long>(value));
    return text;
}

#endif
