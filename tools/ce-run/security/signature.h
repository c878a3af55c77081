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

#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "signed_bytes.h"

namespace security {

// The device's stores of root certificates: the three that code signing
// uses, and ROOT and CA, which it does not (they are recorded only).
enum class Store { spc, privileged, unprivileged, root, ca, store_count };
const char *name(Store store);  // "SPC", "privileged", "unprivileged", "ROOT", "CA"
constexpr Store code_stores[] = {Store::spc, Store::privileged, Store::unprivileged};

// The root certificates of each store, DER encoded, and the role mask of
// each SPC root that was given one.
struct Roots {
    std::vector<std::string> der[int(Store::store_count)];
    std::map<std::string, std::uint32_t> spc_roles;  // by the root's DER
};

// The most certificates one store may hold: more than any device's
// stores, and a bound on the work of every chain's check.
constexpr std::size_t max_roots = 1000;

// Takes every PEM certificate of pem, the bytes of file, into store, each
// with role where one is given (the SPC store's); false with the reason
// when it holds none, a block is damaged or not one certificate, or the
// store would hold more than max_roots.
bool load_roots(const std::vector<std::uint8_t> &pem, const std::string &file, Store store,
                Roots &roots, std::string &error,
                std::optional<std::uint32_t> role = std::nullopt);

// What the file signs: a PE image, or a cabinet (the SpcIndirectDataContent's type).
enum class Content { image, cabinet };

struct Verdict {
    bool trusted = false;  // signed, intact, and chained to a root of store
    Store store = Store::spc;
    std::string signer;    // the signing certificate's subject, when it can be read
    std::string why_not;   // when not trusted: "it carries no signature", ...
    // Not trusted, but chained to a root of store once what no source
    // settles is read leniently (the digest, the key usages, the
    // validity dates): trusted so, and the open question.
    bool trusted_leniently = false;
    std::string question;
    std::string timestamp;  // the date of a verified timestamp, "2007-10-11", or ""
    std::string root;       // trusted: the root of store it chains to, DER encoded
};

// The verdict as the lenient reading gives it: trusted where only what no
// source settles kept it from trust.
inline Verdict leniently(Verdict verdict)
{
    verdict.trusted = verdict.trusted || verdict.trusted_leniently;
    return verdict;
}

// The device's date unknown: no validity date is checked (never against
// the host's clock).
constexpr std::int64_t no_date = INT64_MIN;

// Verifies the signature of file as content against each of stores in
// turn, the first that chains it winning; device_date, seconds since
// 1970, is the date its validity is judged on where no verified
// timestamp says when it was signed.
Verdict verify(const std::vector<std::uint8_t> &file, const SignedBytes &signature, Content content,
               const Roots &roots, const std::vector<Store> &stores, std::int64_t device_date);

// A certificate as a provisioning document gives it, base64 encoded:
// false with the reason when it is not one whole X.509 certificate; else
// its DER and its SHA-1 in lower-case hex.
bool decode_certificate(const std::string &base64, std::string &der, std::string &sha1,
                        std::string &error);
std::string sha1_hex(const std::string &der);  // "" if it cannot be computed

}  // namespace security

#endif
