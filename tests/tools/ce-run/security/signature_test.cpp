// Authenticode signatures no signing tool writes, made here with
// libcrypto as osslsigncode makes its own (a SignedData whose content is
// an SpcIndirectDataContent), and verified by the security room: a
// digest the library cannot compute, or of the wrong length, never
// matches; a SignedData of two signers is not trusted; only SHA-1 is
// trusted by the strict reading.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "signature.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// DER: a tag, its length, its contents.
Bytes der(std::uint8_t tag, const Bytes &contents)
{
    Bytes out = {tag};
    std::size_t size = contents.size();
    if (size < 0x80) {
        out.push_back(std::uint8_t(size));
    } else {
        out.push_back(0x82);
        out.push_back(std::uint8_t(size >> 8));
        out.push_back(std::uint8_t(size));
    }
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

// An object's DER, as libcrypto's i2d function for it writes it.
template <typename T>
Bytes encoded(int (*i2d)(const T *, unsigned char **), const T *object)
{
    unsigned char *der = nullptr;
    int size = i2d(object, &der);
    Bytes out(der, der + std::max(size, 0));
    OPENSSL_free(der);
    return out;
}

Bytes oid(const char *text)
{
    ASN1_OBJECT *object = OBJ_txt2obj(text, 1);
    Bytes out = encoded(i2d_ASN1_OBJECT, static_cast<const ASN1_OBJECT *>(object));
    ASN1_OBJECT_free(object);
    return out;
}

Bytes joined(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// An SpcIndirectDataContent for a cabinet: its type, and a DigestInfo of
// the algorithm and digest given.
Bytes indirect(const char *algorithm, const Bytes &digest)
{
    return der(0x30, joined({der(0x30, oid("1.3.6.1.4.1.311.2.1.25")),
                             der(0x30, joined({der(0x30, joined({oid(algorithm), Bytes{0x05, 0x00}})),
                                               der(0x04, digest)}))}));
}

struct Signer {
    EVP_PKEY *key = EVP_RSA_gen(2048);
    X509 *certificate = X509_new();
    Signer()
    {
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
        X509_NAME *name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("signature test"), -1, -1, 0);
        X509_set_issuer_name(certificate, name);
        X509_set_pubkey(certificate, key);
        X509_EXTENSION *usage = X509V3_EXT_conf_nid(nullptr, nullptr, NID_ext_key_usage,
                                                    "codeSigning");
        X509_add_ext(certificate, usage, -1);
        X509_EXTENSION_free(usage);
        X509_sign(certificate, key, EVP_sha256());
    }
    ~Signer()
    {
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
    std::string root() const
    {
        Bytes der = encoded(i2d_X509, static_cast<const X509 *>(certificate));
        return std::string(der.begin(), der.end());
    }
};

// A SignedData over content, signed by signer (signers times), as
// Authenticode has it: the content type SpcIndirectDataContent, its bytes
// without tag and length signed.
Bytes signed_data(const Signer &signer, const Bytes &content, int signers)
{
    PKCS7 *p7 = PKCS7_new();
    PKCS7_set_type(p7, NID_pkcs7_signed);
    for (int i = 0; i < signers; i++) {
        PKCS7_SIGNER_INFO *info = PKCS7_add_signature(p7, signer.certificate, signer.key, EVP_sha1());
        PKCS7_add_signed_attribute(info, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                   OBJ_txt2obj("1.3.6.1.4.1.311.2.1.4", 1));
    }
    PKCS7_add_certificate(p7, signer.certificate);
    PKCS7_content_new(p7, NID_pkcs7_data);
    const unsigned char *body = content.data();
    long length = 0;
    int tag = 0, type = 0;
    ASN1_get_object(&body, &length, &tag, &type, long(content.size()));
    BIO *bio = PKCS7_dataInit(p7, nullptr);
    BIO_write(bio, body, int(length));
    (void)BIO_flush(bio);
    PKCS7_dataFinal(p7, bio);
    BIO_free_all(bio);
    PKCS7 *inner = PKCS7_new();
    inner->type = OBJ_txt2obj("1.3.6.1.4.1.311.2.1.4", 1);
    inner->d.other = ASN1_TYPE_new();
    ASN1_STRING *sequence = ASN1_STRING_new();
    ASN1_STRING_set(sequence, content.data(), int(content.size()));
    ASN1_TYPE_set(inner->d.other, V_ASN1_SEQUENCE, sequence);
    PKCS7_set_content(p7, inner);
    Bytes out = encoded(i2d_PKCS7, static_cast<const PKCS7 *>(p7));
    PKCS7_free(p7);
    return out;
}

Bytes sha(const EVP_MD *md, const Bytes &data)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned size = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &size, md, nullptr);
    out.resize(size);
    return out;
}

TEST(Signature, OnlyADigestThatMatchesItsAlgorithmAndOneSignerAreTrusted)
{
    const Signer signer;
    const Bytes covered(100, 'x');  // the file's bytes the signature covers
    const Bytes sha1 = sha(EVP_sha1(), covered);
    struct Case {
        const char *name;
        Bytes content;
        int signers;
        bool trusted, trusted_leniently;
        const char *why_not;
    };
    const Case cases[] = {
        {"SHA-1, as Microsoft's signed CABs", indirect("1.3.14.3.2.26", sha1), 1, true, false, ""},
        {"MD4, which the library cannot compute, with an empty digest", indirect("1.2.840.113549.2.4", {}),
         1, false, false, "it was changed after it was signed"},
        {"SHA-1 of a digest cut short", indirect("1.3.14.3.2.26", Bytes(sha1.begin(), sha1.end() - 1)),
         1, false, false, "it was changed after it was signed"},
        {"SHA-1 with no digest", indirect("1.3.14.3.2.26", {}), 1, false, false,
         "it was changed after it was signed"},
        {"two signers", indirect("1.3.14.3.2.26", sha1), 2, false, false, "holds 2 signers"},
        {"SHA-256, which only the lenient reading takes",
         indirect("2.16.840.1.101.3.4.2.1", sha(EVP_sha256(), covered)), 1, false, true,
         "its digest is SHA256"},
    };
    security::Roots roots;
    roots.der[int(security::Store::spc)].push_back(signer.root());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = covered;
        Bytes p7 = signed_data(signer, c.content, c.signers);
        SignedBytes signature;
        signature.present = true;
        signature.covered = {{0, covered.size()}};
        signature.der_offset = file.size();
        signature.der_size = p7.size();
        file.insert(file.end(), p7.begin(), p7.end());
        security::Verdict verdict = security::verify(file, signature, security::Content::cabinet, roots,
                                                     {security::Store::spc}, security::no_date);
        EXPECT_EQ(verdict.trusted, c.trusted) << verdict.why_not;
        EXPECT_EQ(verdict.trusted_leniently, c.trusted_leniently) << verdict.why_not;
        EXPECT_NE(verdict.why_not.find(c.why_not), std::string::npos) << verdict.why_not;
    }
}

}  // namespace
