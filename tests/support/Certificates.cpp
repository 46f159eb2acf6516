// Run-time test PKI with the OpenSSL 3 API: P-256 keys, certificates valid
// from an hour ago for a day.
#include "support/Certificates.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

namespace korvane {
namespace testing {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

void require(bool ok, const char* what)
{
    if (!ok) {
        throw std::runtime_error(std::string("test PKI: ") + what);
    }
}

Key make_key()
{
    Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    require(key != nullptr, "EC key generation");
    return key;
}

void add_extension(X509* certificate, X509V3_CTX& context, int nid, const char* value)
{
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    require(extension != nullptr, "extension");
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    require(added == 1, "adding an extension");
}

struct Subject {
    const char* common_name;
    const char* alt_names; // null for none
    bool authority;
};

// Signed by `issuer`/`issuer_key`, or by itself when `issuer` is null.
Certificate make_certificate(EVP_PKEY* key, const Subject& subject, X509* issuer, EVP_PKEY* issuer_key)
{
    Certificate certificate(X509_new(), &X509_free);
    X509* x = certificate.get();
    require(x != nullptr && X509_set_version(x, 2) == 1, "certificate");
    std::uint64_t serial = 0;
    require(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1, "serial");
    ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), serial >> 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 24 * 3600);
    require(X509_set_pubkey(x, key) == 1, "public key");
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(subject.common_name), -1, -1, 0);
    X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : name);

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
    add_extension(x, context, NID_basic_constraints, subject.authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    add_extension(x, context, NID_key_usage,
                  subject.authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    add_extension(x, context, NID_subject_key_identifier, "hash");
    if (!subject.authority) {
        add_extension(x, context, NID_ext_key_usage, "serverAuth");
    }
    if (subject.alt_names != nullptr) {
        add_extension(x, context, NID_subject_alt_name, subject.alt_names);
    }
    require(X509_sign(x, issuer_key != nullptr ? issuer_key : key, EVP_sha256()) > 0, "signing");
    return certificate;
}

void write_pem(const std::string& path, const std::vector<X509*>& certificates)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new_file(path.c_str(), "w"), &BIO_free);
    require(out != nullptr, "opening a certificate file");
    for (X509* certificate : certificates) {
        require(PEM_write_bio_X509(out.get(), certificate) == 1, "writing a certificate");
    }
}

void write_pem(const std::string& path, EVP_PKEY* key)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new_file(path.c_str(), "w"), &BIO_free);
    require(out != nullptr, "opening a key file");
    require(PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "writing a key");
}

std::string make_directory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/korvane-pki-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    require(mkdtemp(buffer.data()) != nullptr, "temporary directory");
    return buffer.data();
}

// Removed with everything in it, also when making the files failed half way.
struct Directory {
    std::string path = make_directory();
    ~Directory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

struct Files {
    Directory temporary;
    TestPki pki;

    Files()
    {
        const std::string& directory = temporary.path;
        const Key ca_key = make_key();
        const Certificate ca = make_certificate(ca_key.get(), {"korvane test authority", nullptr, true}, nullptr, nullptr);
        const Key server_key = make_key();
        const Certificate server = make_certificate(
            server_key.get(), {"localhost", "DNS:localhost,IP:127.0.0.1", false}, ca.get(), ca_key.get());
        const Key self_key = make_key();
        const Certificate self = make_certificate(self_key.get(), {"localhost", "DNS:localhost,IP:127.0.0.1", false},
                                                  nullptr, nullptr);
        const Key other_key = make_key();
        const Certificate other = make_certificate(
            other_key.get(), {"elsewhere.invalid", "DNS:elsewhere.invalid,IP:192.0.2.1", false}, ca.get(),
            ca_key.get());

        pki.ca_certificate = directory + "/ca.pem";
        pki.server_chain = directory + "/server-chain.pem";
        pki.server_key = directory + "/server-key.pem";
        pki.self_signed_certificate = directory + "/self-signed.pem";
        pki.self_signed_key = directory + "/self-signed-key.pem";
        pki.other_host_chain = directory + "/other-host-chain.pem";
        pki.other_host_key = directory + "/other-host-key.pem";
        write_pem(pki.ca_certificate, {ca.get()});
        write_pem(pki.server_chain, {server.get(), ca.get()});
        write_pem(pki.server_key, server_key.get());
        write_pem(pki.self_signed_certificate, {self.get()});
        write_pem(pki.self_signed_key, self_key.get());
        write_pem(pki.other_host_chain, {other.get(), ca.get()});
        write_pem(pki.other_host_key, other_key.get());
    }
};

} // namespace

const TestPki& test_pki()
{
    static const Files files;
    return files.pki;
}

void trust_test_ca()
{
    ::setenv("SSL_CERT_FILE", test_pki().ca_certificate.c_str(), 1);
}

} // namespace testing
} // namespace korvane
