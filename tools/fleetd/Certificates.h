#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace fleetd {

struct KeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct CertFree
{
    void operator()(X509 *cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

struct Identity
{
    Key key;
    Cert cert;
};

// A fresh test certificate authority, made in memory; nothing of it outlives the process.
Identity makeAuthority(const std::string &commonName);
// A server certificate for 127.0.0.1, ::1 and localhost, signed by the authority.
Identity makeServerIdentity(const Identity &authority);

// The certificate in PEM form.
std::string certificatePem(X509 *cert);

} // namespace fleetd
