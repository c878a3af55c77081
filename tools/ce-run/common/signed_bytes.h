// Where a file's Authenticode signature lies and which of its bytes the
// signature's digest covers: what the image and install rooms find in a
// PE image or a cabinet, and the security room verifies.

#ifndef CE_RUN_SIGNED_BYTES_H
#define CE_RUN_SIGNED_BYTES_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct SignedBytes {
    bool present = false;  // the file carries a signature
    std::vector<std::pair<std::uint64_t, std::uint64_t>> covered;  // [begin, end), in order
    std::uint64_t der_offset = 0, der_size = 0;                    // the PKCS#7 SignedData
    std::string malformed;  // why the signature's frame cannot be read, when it cannot
};

#endif
