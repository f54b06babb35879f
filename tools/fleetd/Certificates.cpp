#include "Certificates.h"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace fleetd {

namespace {

void check(bool ok, const char *what)
{
    if (!ok)
        throw std::runtime_error(std::string("certificate: ") + what);
}

Key makeKey()
{
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509 *cert, X509V3_CTX *context, int nid, const char *value)
{
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, context, nid, value);
    check(extension != nullptr, value);
    const int added = X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
    check(added == 1, value);
}

Cert makeCertificate(EVP_PKEY *key, const std::string &commonName, X509 *issuer, EVP_PKEY *issuerKey)
{
    Cert cert(X509_new());
    check(cert != nullptr, "new");
    check(X509_set_version(cert.get(), 2) == 1, "version");

    unsigned char serialBytes[16];
    check(RAND_bytes(serialBytes, sizeof serialBytes) == 1, "serial");
    serialBytes[0] &= 0x7F; // positive
    BIGNUM *serial = BN_bin2bn(serialBytes, sizeof serialBytes, nullptr);
    check(serial != nullptr, "serial");
    const bool serialSet = BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(serial);
    check(serialSet, "serial");

    check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "validity");
    check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600) != nullptr, "validity");
    check(X509_set_pubkey(cert.get(), key) == 1, "public key");

    X509_NAME *name = X509_get_subject_name(cert.get());
    const auto *organization = reinterpret_cast<const unsigned char *>("korvan test");
    const auto *common = reinterpret_cast<const unsigned char *>(commonName.c_str());
    check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, organization, -1, -1, 0) == 1, "name");
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, common, -1, -1, 0) == 1, "name");
    check(X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) == 1, "issuer");

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    addExtension(cert.get(), &context, NID_subject_key_identifier, "hash");
    if (issuer) {
        addExtension(cert.get(), &context, NID_authority_key_identifier, "keyid:always");
        addExtension(cert.get(), &context, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), &context, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        addExtension(cert.get(), &context, NID_ext_key_usage, "serverAuth");
        addExtension(cert.get(), &context, NID_subject_alt_name, "IP:127.0.0.1,IP:0:0:0:0:0:0:0:1,DNS:localhost");
    } else {
        addExtension(cert.get(), &context, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), &context, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signature");
    return cert;
}

} // namespace

Identity makeAuthority(const std::string &commonName)
{
    Identity authority;
    authority.key = makeKey();
    authority.cert = makeCertificate(authority.key.get(), commonName, nullptr, nullptr);
    return authority;
}

Identity makeServerIdentity(const Identity &authority)
{
    Identity server;
    server.key = makeKey();
    server.cert = makeCertificate(server.key.get(), "localhost", authority.cert.get(), authority.key.get());
    return server;
}

std::string certificatePem(X509 *cert)
{
    BIO *bio = BIO_new(BIO_s_mem());
    check(bio != nullptr, "pem");
    const bool written = PEM_write_bio_X509(bio, cert) == 1;
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem = written && length > 0 ? std::string(data, std::size_t(length)) : std::string();
    BIO_free(bio);
    check(!pem.empty(), "pem");
    return pem;
}

} // namespace fleetd
