// A version as CE writes them, major and minor: a release's, a PE
// image's subsystem version, a setup file's range. CE 4.2 is 4.20.

#ifndef CE_RUN_VERSION_H
#define CE_RUN_VERSION_H

#include <cstdint>
#include <string>
#include <tuple>

struct Version {
    std::uint32_t major = 0, minor = 0;

    bool operator<(const Version &other) const
    {
        return std::tie(major, minor) < std::tie(other.major, other.minor);
    }
    bool operator>(const Version &other) const { return other < *this; }
    bool operator<=(const Version &other) const { return !(other < *this); }
    bool operator==(const Version &other) const
    {
        return major == other.major && minor == other.minor;
    }
    bool is_zero() const { return major == 0 && minor == 0; }
    std::string text() const { return std::to_string(major) + "." + std::to_string(minor); }
};

#endif
