#include "signature.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/bio.h>
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

std::vector<unsigned char> digest_of(const std::vector<std::uint8_t> &file, const SignedBytes &signature,
                                     const EVP_MD *md)
{
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
    std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
    unsigned size = 0;
    EVP_DigestInit_ex(context.get(), md, nullptr);
    for (const auto &[begin, end] : signature.covered)
        EVP_DigestUpdate(context.get(), file.data() + begin, end - begin);
    EVP_DigestFinal_ex(context.get(), out.data(), &size);
    out.resize(size);
    return out;
}

// The first error the chain's check met, by the strict reading; the
// lenient reading passes over what no source settles: Microsoft's 1997
// root, a version 3 certificate without basic constraints, which OpenSSL
// 3 takes as no CA, and the validity dates, which ce-run does not yet
// check against a timestamp.
thread_local int first_error = X509_V_OK;

int strict_check(int ok, X509_STORE_CTX *context)
{
    if (!ok && first_error == X509_V_OK)
        first_error = X509_STORE_CTX_get_error(context);
    return ok;
}

int lenient_check(int ok, X509_STORE_CTX *context)
{
    switch (X509_STORE_CTX_get_error(context)) {
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return 1;
    default:
        return ok;
    }
}

// The open question of a chain that only the strict reading refuses.
std::string question(int error)
{
    switch (error) {
    case X509_V_ERR_INVALID_CA:
        return "no source says whether Windows Mobile takes a root without basic constraints "
               "(Microsoft's of 1997) as a certification authority";
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "no source says whether Windows Mobile checks the signer's validity dates, and "
               "against which time";
    default:
        return "";
    }
}

// Whether the signature chains to a root of the store, and its signed
// attributes match the content: PKCS7_verify, given the content's bytes
// without their tag and length, as the library wants them for a content
// that is not data.
bool chains(PKCS7 *p7, const Indirect &indirect, const std::vector<std::string> &roots,
            bool lenient)
{
    Owned<X509_STORE, X509_STORE_free> store(X509_STORE_new());
    for (const std::string &der : roots) {
        const unsigned char *bytes = reinterpret_cast<const unsigned char *>(der.data());
        Owned<X509, X509_free> root(d2i_X509(nullptr, &bytes, long(der.size())));
        if (root)
            X509_STORE_add_cert(store.get(), root.get());
    }
    // Code signing is no purpose of OpenSSL's own: any purpose is taken.
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
    X509_STORE_set_verify_cb(store.get(), lenient ? lenient_check : strict_check);
    const unsigned char *content = indirect.der;
    long length = 0;
    int tag = 0, type = 0;
    if (ASN1_get_object(&content, &length, &tag, &type, indirect.size) & 0x80)
        return false;
    Owned<BIO, free_bio> data(BIO_new_mem_buf(content, int(length)));
    return PKCS7_verify(p7, nullptr, store.get(), data.get(), nullptr, PKCS7_BINARY) == 1;
}

}  // namespace

const char *name(Store store)
{
    switch (store) {
    case Store::spc: return "SPC";
    case Store::privileged: return "privileged";
    case Store::unprivileged: return "unprivileged";
    case Store::store_count: break;
    }
    return "";
}

bool load_roots(const std::string &file, Store store, Roots &roots, std::string &error)
{
    Owned<BIO, free_bio> bio(BIO_new_file(file.c_str(), "r"));
    if (!bio) {
        error = "cannot read " + file + ": " + std::strerror(errno);
        return false;
    }
    int count = 0;
    for (;;) {
        Owned<X509, X509_free> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!certificate)
            break;
        unsigned char *der = nullptr;
        int size = i2d_X509(certificate.get(), &der);
        if (size > 0)
            roots.der[int(store)].emplace_back(reinterpret_cast<char *>(der), std::size_t(size));
        OPENSSL_free(der);
        count++;
    }
    if (count == 0) {
        error = file + " holds no PEM certificate";
        return false;
    }
    return true;
}

Verdict verify(const std::vector<std::uint8_t> &file, const SignedBytes &signature, Content content,
               const Roots &roots, const std::vector<Store> &stores)
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
    verdict.signer = subject(p7.get());
    if (indirect.content_oid != (content == Content::image ? image_data : cabinet_data)) {
        verdict.why_not = "its signature is for another kind of file (" + indirect.content_oid + ")";
        return verdict;
    }
    if (digest_of(file, signature, indirect.md) != indirect.digest) {
        verdict.why_not = "its signature does not match its contents: it was changed after it was signed";
        return verdict;
    }
    std::string names;
    for (Store store : stores) {
        first_error = X509_V_OK;
        if (chains(p7.get(), indirect, roots.der[int(store)], false)) {
            verdict.trusted = true;
            verdict.store = store;
            return verdict;
        }
        std::string open = question(first_error);
        if (!verdict.trusted_leniently && !open.empty() &&
            chains(p7.get(), indirect, roots.der[int(store)], true)) {
            verdict.trusted_leniently = true;
            verdict.store = store;
            verdict.question = open;
        }
        names += (names.empty() ? "" : " or the ") + std::string(name(store));
    }
    verdict.why_not = "its signature chains to no root in the " + names + " store";
    return verdict;
}

}  // namespace security
