#include "signature.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace security {

namespace {

// The object identifiers of Authenticode ([MS-OSHARED], docs/sources.md).
constexpr const char *spc_indirect_data = "1.3.6.1.4.1.311.2.1.4";
constexpr const char *image_data = "1.3.6.1.4.1.311.2.1.15";
constexpr const char *cabinet_data = "1.3.6.1.4.1.311.2.1.25";

template <typename T, void (*Free)(T *)>
struct Freer {
    void operator()(T *pointer) const { Free(pointer); }
};
template <typename T, void (*Free)(T *)>
using Owned = std::unique_ptr<T, Freer<T, Free>>;

void free_sequence(STACK_OF(ASN1_TYPE) * sequence)
{
    sk_ASN1_TYPE_pop_free(sequence, ASN1_TYPE_free);
}

void free_bio(BIO *bio)
{
    BIO_free(bio);
}

using Sequence = Owned<STACK_OF(ASN1_TYPE), free_sequence>;

// The elements of a DER SEQUENCE, read by the library.
Sequence elements(const ASN1_TYPE *type)
{
    if (type == nullptr || type->type != V_ASN1_SEQUENCE)
        return nullptr;
    const unsigned char *der = type->value.sequence->data;
    return Sequence(d2i_ASN1_SEQUENCE_ANY(nullptr, &der, type->value.sequence->length));
}

std::string oid_text(const ASN1_OBJECT *object)
{
    char text[80] = {};
    OBJ_obj2txt(text, sizeof text, object, 1);
    return text;
}

std::string subject(PKCS7 *p7)
{
    STACK_OF(X509) *signers = PKCS7_get0_signers(p7, nullptr, 0);
    std::string out;
    if (signers != nullptr && sk_X509_num(signers) > 0) {
        Owned<BIO, free_bio> bio(BIO_new(BIO_s_mem()));
        X509_NAME_print_ex(bio.get(), X509_get_subject_name(sk_X509_value(signers, 0)), 0,
                           XN_FLAG_RFC2253);
        char *text = nullptr;
        long size = BIO_get_mem_data(bio.get(), &text);
        out.assign(text, std::size_t(size));
    }
    sk_X509_free(signers);
    return out;
}

// The SpcIndirectDataContent's DER, what it says is signed, and the
// digest it holds; false with the reason when it is not one.
struct Indirect {
    const unsigned char *der = nullptr;
    long size = 0;
    std::string content_oid;
    const EVP_MD *md = nullptr;
    std::vector<unsigned char> digest;
};

bool read_indirect(PKCS7 *p7, Indirect &out, std::string &why)
{
    why = "its signature is not an Authenticode SignedData";
    if (!PKCS7_type_is_signed(p7) || p7->d.sign->contents == nullptr ||
        oid_text(p7->d.sign->contents->type) != spc_indirect_data)
        return false;
    const ASN1_TYPE *content = p7->d.sign->contents->d.other;
    Sequence parts = elements(content);
    if (!parts || sk_ASN1_TYPE_num(parts.get()) < 2)
        return false;
    out.der = content->value.sequence->data;
    out.size = content->value.sequence->length;
    Sequence data = elements(sk_ASN1_TYPE_value(parts.get(), 0));
    if (!data || sk_ASN1_TYPE_num(data.get()) < 1 ||
        sk_ASN1_TYPE_value(data.get(), 0)->type != V_ASN1_OBJECT)
        return false;
    out.content_oid = oid_text(sk_ASN1_TYPE_value(data.get(), 0)->value.object);
    const ASN1_TYPE *digest_info = sk_ASN1_TYPE_value(parts.get(), 1);
    if (digest_info->type != V_ASN1_SEQUENCE)
        return false;
    const unsigned char *der = digest_info->value.sequence->data;
    Owned<X509_SIG, X509_SIG_free> sig(
        d2i_X509_SIG(nullptr, &der, digest_info->value.sequence->length));
    if (!sig)
        return false;
    const X509_ALGOR *algorithm = nullptr;
    const ASN1_OCTET_STRING *digest = nullptr;
    X509_SIG_get0(sig.get(), &algorithm, &digest);
    out.md = EVP_get_digestbyobj(algorithm->algorithm);
    if (out.md == nullptr) {
        why = "its digest algorithm " + oid_text(algorithm->algorithm) + " is unknown";
        return false;
    }
    out.digest.assign(digest->data, digest->data + digest->length);
    return true;
}

// Whether the digest of the covered bytes is the one the signature holds.
// A digest the library cannot compute, or one of another length than
// the algorithm's, never matches.
bool digest_matches(const std::vector<std::uint8_t> &file, const SignedBytes &signature,
                    const Indirect &indirect)
{
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
    std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
    unsigned size = 0;
    if (!context || EVP_DigestInit_ex(context.get(), indirect.md, nullptr) != 1)
        return false;
    for (const auto &[begin, end] : signature.covered) {
        if (EVP_DigestUpdate(context.get(), file.data() + begin, end - begin) != 1)
            return false;
    }
    if (EVP_DigestFinal_ex(context.get(), out.data(), &size) != 1 || size == 0 ||
        int(size) != EVP_MD_get_size(indirect.md))
        return false;
    out.resize(size);
    return out == indirect.digest;
}

// A root of the device's store is a trust anchor whatever its
// extensions: Microsoft's 1997 root, a version 3 certificate without basic
// constraints, is no CA to OpenSSL 3, and devices with it in their stores
// installed what it signed. The validity dates are judged apart (judged),
// never by the host's clock.
int check(int ok, X509_STORE_CTX *context)
{
    STACK_OF(X509) *chain = X509_STORE_CTX_get0_chain(context);
    if (!ok && X509_STORE_CTX_get_error(context) == X509_V_ERR_INVALID_CA && chain != nullptr &&
        X509_STORE_CTX_get_error_depth(context) == sk_X509_num(chain) - 1)
        return 1;
    return ok;
}

using TrustStore = Owned<X509_STORE, X509_STORE_free>;

// An OpenSSL store of the roots of the device's stores given, checked as
// check says, never against the host's clock.
TrustStore trust_store(const std::vector<const std::vector<std::string> *> &stores)
{
    TrustStore store(X509_STORE_new());
    for (const std::vector<std::string> *roots : stores) {
        for (const std::string &der : *roots) {
            const unsigned char *bytes = reinterpret_cast<const unsigned char *>(der.data());
            Owned<X509, X509_free> root(d2i_X509(nullptr, &bytes, long(der.size())));
            if (root)
                X509_STORE_add_cert(store.get(), root.get());
        }
    }
    X509_STORE_set_verify_cb(store.get(), check);
    X509_STORE_set_flags(store.get(), X509_V_FLAG_NO_CHECK_TIME);
    return store;
}

// Whether the signature chains to a root of the store, and its signed
// attributes match the content: PKCS7_verify, given the content's bytes
// without their tag and length, as the library wants them for a content
// that is not data.
bool chains(PKCS7 *p7, const Indirect &indirect, const std::vector<std::string> &roots)
{
    TrustStore store = trust_store({&roots});
    // Code signing is no purpose of OpenSSL's own: any purpose is taken,
    // and the key usages are judged apart (judged).
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
    const unsigned char *content = indirect.der;
    long length = 0;
    int tag = 0, type = 0;
    if (ASN1_get_object(&content, &length, &tag, &type, indirect.size) & 0x80)
        return false;
    Owned<BIO, free_bio> data(BIO_new_mem_buf(content, int(length)));
    return PKCS7_verify(p7, nullptr, store.get(), data.get(), nullptr, PKCS7_BINARY) == 1;
}

// The signer's certificate: the one whose issuer and serial number the
// SignerInfo names.
X509 *signer_of(PKCS7 *p7)
{
    STACK_OF(X509) *signers = PKCS7_get0_signers(p7, nullptr, 0);
    X509 *signer = signers != nullptr && sk_X509_num(signers) == 1 ? sk_X509_value(signers, 0) : nullptr;
    sk_X509_free(signers);
    return signer;
}

// A certificate's time, or seconds since 1970, as a day: "2007-11-14".
std::string date_text(const ASN1_TIME *time)
{
    struct tm parts = {};
    char text[16] = "?";
    if (ASN1_TIME_to_tm(time, &parts) == 1)
        std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
    return text;
}

std::string date_text(std::int64_t seconds)
{
    Owned<ASN1_TIME, ASN1_TIME_free> time(ASN1_TIME_set(nullptr, time_t(seconds)));
    return time ? date_text(time.get()) : "?";
}

// The time of the signature's timestamp: Authenticode's countersignature
// in the SignerInfo's unsigned attributes, verified by libcrypto (its
// messageDigest the digest of the signature's encrypted digest, its
// signature by a certificate of the SignedData that chains to a root of
// the device's stores); no_date when there is none that verifies.
std::int64_t timestamp(PKCS7 *p7, const Roots &roots)
{
    PKCS7_SIGNER_INFO *signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    ASN1_TYPE *attribute = PKCS7_get_attribute(signer, NID_pkcs9_countersignature);
    if (attribute == nullptr || attribute->type != V_ASN1_SEQUENCE)
        return no_date;
    const unsigned char *der = attribute->value.sequence->data;
    Owned<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free> counter(
        d2i_PKCS7_SIGNER_INFO(nullptr, &der, attribute->value.sequence->length));
    if (!counter || counter->issuer_and_serial == nullptr || p7->d.sign->cert == nullptr)
        return no_date;
    X509 *stamper = X509_find_by_issuer_and_serial(p7->d.sign->cert,
                                                   counter->issuer_and_serial->issuer,
                                                   counter->issuer_and_serial->serial);
    const EVP_MD *md = EVP_get_digestbyobj(counter->digest_alg->algorithm);
    if (stamper == nullptr || md == nullptr)
        return no_date;
    // The countersigned data is the signature's encrypted digest, read
    // through a digest BIO as PKCS7_signatureVerify wants it.
    Owned<BIO, free_bio> digest(BIO_new(BIO_f_md()));
    BIO *data = BIO_new_mem_buf(signer->enc_digest->data, signer->enc_digest->length);
    if (!digest || data == nullptr || BIO_set_md(digest.get(), md) != 1) {
        BIO_free(data);
        return no_date;
    }
    BIO_push(digest.get(), data);
    char buffer[256];
    while (BIO_read(digest.get(), buffer, sizeof buffer) > 0) {
    }
    bool verified = PKCS7_signatureVerify(digest.get(), p7, counter.get(), stamper) == 1;
    BIO_pop(digest.get());
    BIO_free(data);
    ASN1_TYPE *time = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
    struct tm parts = {};
    if (!verified || time == nullptr ||
        (time->type != V_ASN1_UTCTIME && time->type != V_ASN1_GENERALIZEDTIME) ||
        ASN1_TIME_to_tm(time->value.utctime, &parts) != 1)
        return no_date;
    // Its certificate chains to a root of one of the device's code stores.
    std::vector<const std::vector<std::string> *> stores;
    for (Store code_store : code_stores)
        stores.push_back(&roots.der[int(code_store)]);
    TrustStore store = trust_store(stores);
    Owned<X509_STORE_CTX, X509_STORE_CTX_free> context(X509_STORE_CTX_new());
    if (!context || X509_STORE_CTX_init(context.get(), store.get(), stamper, p7->d.sign->cert) != 1 ||
        X509_verify_cert(context.get()) != 1)
        return no_date;
    return std::int64_t(timegm(&parts));
}

// A signature that chains to a root, judged by what no source settles:
// the strict reading trusts it only with a SHA-1 digest, a signer whose
// key usages allow code signing, and a signer valid when it signed: at
// its verified timestamp, else on the device's date where that is known;
// the lenient reading trusts it whatever these are.
Verdict judged(PKCS7 *p7, const Indirect &indirect, const Roots &roots, std::int64_t device_date,
               Verdict verdict)
{
    std::int64_t stamped = timestamp(p7, roots);
    std::int64_t when = stamped != no_date ? stamped : device_date;
    if (stamped != no_date)
        verdict.timestamp = date_text(stamped);
    X509 *signer = signer_of(p7);
    std::string why;
    const std::string what = "no source says whether Windows Mobile ";
    if (EVP_MD_get_type(indirect.md) != NID_sha1) {
        why = std::string("its digest is ") + OBJ_nid2sn(EVP_MD_get_type(indirect.md)) +
              ", and SHA-1 is what Microsoft's signed CABs of the era use";
        verdict.question = what + "verifies " + OBJ_nid2sn(EVP_MD_get_type(indirect.md)) + " digests";
    } else if (signer != nullptr &&
               (((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) &&
                 !(X509_get_extended_key_usage(signer) & XKU_CODE_SIGN)) ||
                ((X509_get_extension_flags(signer) & EXFLAG_KUSAGE) &&
                 !(X509_get_key_usage(signer) & KU_DIGITAL_SIGNATURE)))) {
        why = "the signer's certificate does not allow code signing (its key usages)";
        verdict.question = what + "checks the signer's key usages";
    } else if (signer != nullptr && when != no_date) {
        time_t at = time_t(when);
        if (X509_cmp_time(X509_get0_notAfter(signer), &at) < 0)
            why = "the signer's certificate expired on " + date_text(X509_get0_notAfter(signer));
        else if (X509_cmp_time(X509_get0_notBefore(signer), &at) > 0)
            why = "the signer's certificate is valid only from " +
                  date_text(X509_get0_notBefore(signer));
        if (!why.empty())
            verdict.question = what + "checks the signer's validity dates against " +
                               (stamped != no_date ? "its timestamp" : "its own (--device-date)");
    }
    if (why.empty()) {
        verdict.trusted = true;
        verdict.question.clear();
    } else {
        verdict.trusted_leniently = true;
        verdict.why_not = why;
        verdict.question = why + ", and " + verdict.question;
    }
    return verdict;
}

}  // namespace

const char *name(Store store)
{
    switch (store) {
    case Store::spc: return "SPC";
    case Store::privileged: return "privileged";
    case Store::unprivileged: return "unprivileged";
    case Store::root: return "ROOT";
    case Store::ca: return "CA";
    case Store::store_count: break;
    }
    return "";
}

bool load_roots(const std::vector<std::uint8_t> &pem, const std::string &file, Store store,
                Roots &roots, std::string &error, std::optional<std::uint32_t> role)
{
    Owned<BIO, free_bio> bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    std::vector<std::string> &into = roots.der[int(store)];
    int blocks = 0;
    for (;;) {
        char *name = nullptr, *header = nullptr;
        unsigned char *data = nullptr;
        long size = 0;
        ERR_clear_error();
        bool read = bio && PEM_read_bio(bio.get(), &name, &header, &data, &size) == 1;
        std::string type = read ? name : "";
        const unsigned char *der = data;
        Owned<X509, X509_free> certificate(
            read && type == "CERTIFICATE" ? d2i_X509(nullptr, &der, size) : nullptr);
        bool whole = certificate && der == data + size;
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
        if (!read) {
            // The end of the file, or a block that is not PEM.
            bool end = ERR_GET_REASON(ERR_peek_last_error()) == PEM_R_NO_START_LINE;
            ERR_clear_error();
            if (end && blocks > 0)
                return true;
            error = file + (end ? " holds no PEM certificate"
                                : ": PEM block " + std::to_string(blocks + 1) + " is damaged");
            return false;
        }
        blocks++;
        if (!whole) {
            error = file + ": PEM block " + std::to_string(blocks) + " (" + type +
                    ") is not one X.509 certificate";
            return false;
        }
        unsigned char *encoded = nullptr;
        int length = i2d_X509(certificate.get(), &encoded);
        std::string bytes(reinterpret_cast<char *>(encoded), std::size_t(std::max(length, 0)));
        OPENSSL_free(encoded);
        if (std::find(into.begin(), into.end(), bytes) == into.end())
            into.push_back(bytes);
        if (role)
            roots.spc_roles[bytes] = *role;
        if (into.size() > max_roots) {
            error = file + ": the " + std::string(security::name(store)) + " store would hold more than " +
                    std::to_string(max_roots) + " certificates, ce-run's limit";
            return false;
        }
    }
}

Verdict verify(const std::vector<std::uint8_t> &file, const SignedBytes &signature, Content content,
               const Roots &roots, const std::vector<Store> &stores, std::int64_t device_date)
{
    Verdict verdict;
    if (!signature.present) {
        verdict.why_not = "it carries no signature";
        return verdict;
    }
    if (!signature.malformed.empty()) {
        verdict.why_not = "its signature's frame is malformed: " + signature.malformed;
        return verdict;
    }
    const unsigned char *der = file.data() + signature.der_offset;
    Owned<PKCS7, PKCS7_free> p7(d2i_PKCS7(nullptr, &der, long(signature.der_size)));
    Indirect indirect;
    if (!p7 || !read_indirect(p7.get(), indirect, verdict.why_not))
        return verdict;
    // [MS-OSHARED] 2.3.2.4.1: exactly one SignerInfo.
    int signers = sk_PKCS7_SIGNER_INFO_num(PKCS7_get_signer_info(p7.get()));
    if (signers != 1) {
        verdict.why_not = "its signature holds " + std::to_string(signers) +
                          " signers, and an Authenticode signature holds one";
        return verdict;
    }
    verdict.signer = subject(p7.get());
    if (indirect.content_oid != (content == Content::image ? image_data : cabinet_data)) {
        verdict.why_not = "its signature is for another kind of file (" + indirect.content_oid + ")";
        return verdict;
    }
    if (!digest_matches(file, signature, indirect)) {
        verdict.why_not = "its signature does not match its contents: it was changed after it was signed";
        return verdict;
    }
    std::string names;
    for (Store store : stores) {
        const std::vector<std::string> &of_store = roots.der[int(store)];
        if (chains(p7.get(), indirect, of_store)) {
            verdict.store = store;
            // Which root: the one that chains it alone (an SPC root's role).
            for (const std::string &root : of_store) {
                if (chains(p7.get(), indirect, {root})) {
                    verdict.root = root;
                    break;
                }
            }
            return judged(p7.get(), indirect, roots, device_date, verdict);
        }
        names += (names.empty() ? "" : " or the ") + std::string(name(store));
    }
    verdict.why_not = "its signature chains to no root in the " + names + " store";
    return verdict;
}

bool decode_certificate(const std::string &base64, std::string &der, std::string &sha1,
                        std::string &error)
{
    std::string text;
    for (char c : base64) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            text += c;
    }
    std::vector<unsigned char> bytes(text.size() / 4 * 3 + 3);
    Owned<EVP_ENCODE_CTX, EVP_ENCODE_CTX_free> context(EVP_ENCODE_CTX_new());
    int size = 0, last = 0;
    if (!context || text.size() > std::size_t(INT_MAX) / 2) {
        error = "its EncodedCertificate is too long";
        return false;
    }
    EVP_DecodeInit(context.get());
    if (EVP_DecodeUpdate(context.get(), bytes.data(), &size,
                         reinterpret_cast<const unsigned char *>(text.data()), int(text.size())) < 0 ||
        EVP_DecodeFinal(context.get(), bytes.data() + size, &last) != 1) {
        error = "its EncodedCertificate is not base64";
        return false;
    }
    size += last;
    const unsigned char *at = bytes.data();
    Owned<X509, X509_free> certificate(d2i_X509(nullptr, &at, size));
    if (!certificate || at != bytes.data() + size) {
        error = "its EncodedCertificate is not one X.509 certificate";
        return false;
    }
    der.assign(reinterpret_cast<const char *>(bytes.data()), std::size_t(size));
    sha1 = sha1_hex(der);
    if (sha1.empty()) {
        error = "its SHA-1 cannot be computed";
        return false;
    }
    return true;
}

std::string sha1_hex(const std::string &der)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr) != 1)
        return "";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; i++)
        out += std::string{digits[digest[i] >> 4], digits[digest[i] & 15]};
    return out;
}

}  // namespace security
