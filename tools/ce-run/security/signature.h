// Authenticode signatures, verified with OpenSSL's libcrypto against the
// roots of a device's certificate stores: the PKCS#7 SignedData, its
// SpcIndirectDataContent and the chain are the library's to read and
// check; what the signature covers is computed here from the byte ranges
// that the file's reader gives.
//
// The security room (signature, configurations) is Windows Mobile's
// security model; it uses common/ only, and the image and install rooms
// tell it which bytes of a file a signature covers (SignedBytes).
// (pe::signed_bytes and cabinet::signed_bytes give them.)

#ifndef CE_RUN_SIGNATURE_H
#define CE_RUN_SIGNATURE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "signed_bytes.h"

namespace security {

// The device's stores of root certificates.
enum class Store { spc, privileged, unprivileged, store_count };
const char *name(Store store);  // "SPC", "privileged", "unprivileged"

// The root certificates of each store, DER encoded.
struct Roots {
    std::vector<std::string> der[int(Store::store_count)];
};

// Reads the PEM certificates of file into store; false with the reason
// when the file cannot be read or holds none.
bool load_roots(const std::string &file, Store store, Roots &roots, std::string &error);

// What the file signs: a PE image, or a cabinet (the SpcIndirectDataContent's type).
enum class Content { image, cabinet };

struct Verdict {
    bool trusted = false;  // signed, intact, and chained to a root of store
    Store store = Store::spc;
    std::string signer;    // the signing certificate's subject, when it can be read
    std::string why_not;   // when not trusted: "it carries no signature", ...
    // Not trusted, but chained to a root of store once what no source
    // settles is read leniently (a root without basic constraints as a
    // CA, the validity dates): trusted so, and the open question.
    bool trusted_leniently = false;
    std::string question;
};

// Verifies the signature of file as content against each of stores in
// turn, the first that trusts it winning.
Verdict verify(const std::vector<std::uint8_t> &file, const SignedBytes &signature, Content content,
               const Roots &roots, const std::vector<Store> &stores);

}  // namespace security

#endif
