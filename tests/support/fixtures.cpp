#include "tests/support/fixtures.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

namespace testsupport {

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "halvorn-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

namespace {

std::string bioText(BIO* bio)
{
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(len));
}

void addField(X509_NAME* name, const char* field, const std::string& value)
{
    if (!value.empty())
        X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.data()),
                                   static_cast<int>(value.size()), -1, 0);
}

ossl::X509Ptr selfSign(EVP_PKEY* key, const Subject& subject, long serial, bool sm2)
{
    ossl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    addField(name, "C", subject.c);
    addField(name, "ST", subject.st);
    addField(name, "L", subject.l);
    addField(name, "O", subject.o);
    addField(name, "OU", subject.ou);
    addField(name, "CN", subject.cn);
    addField(name, "emailAddress", subject.email);
    X509_set_issuer_name(cert.get(), name);

    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    const EVP_MD* md = sm2 ? EVP_sm3() : EVP_sha256();
    if (EVP_DigestSignInit(ctx.get(), &pctx, md, nullptr, key) != 1)
        throw std::runtime_error("DigestSignInit failed");
    if (sm2) {
        static const char kId[] = "1234567812345678";
        EVP_PKEY_CTX_set1_id(pctx, kId, sizeof kId - 1);
    }
    if (X509_sign_ctx(cert.get(), ctx.get()) <= 0)
        throw std::runtime_error("X509_sign_ctx failed");
    return cert;
}

} // namespace

std::string KeyAndCert::certDer() const { return ossl::toDer(cert.get(), i2d_X509); }

std::string KeyAndCert::certPem() const
{
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), cert.get());
    return bioText(bio.get());
}

std::string KeyAndCert::keyPem() const
{
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return bioText(bio.get());
}

KeyAndCert makeRsaCert(int bits, const Subject& subject, long serial)
{
    KeyAndCert kc;
    kc.key.reset(EVP_RSA_gen(static_cast<unsigned>(bits)));
    if (!kc.key)
        throw std::runtime_error("RSA key generation failed");
    kc.cert = selfSign(kc.key.get(), subject, serial, false);
    return kc;
}

KeyAndCert makeSm2Cert(const Subject& subject, long serial)
{
    KeyAndCert kc;
    kc.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    if (!kc.key)
        throw std::runtime_error("SM2 key generation failed");
    kc.cert = selfSign(kc.key.get(), subject, serial, true);
    return kc;
}

CommandResult run(const std::string& shellCommand)
{
    CommandResult result;
    FILE* pipe = popen((shellCommand + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        result.output.append(buf, n);
    const int status = pclose(pipe);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

std::string issueForRequest(const std::string& requestDer)
{
    const auto* p = reinterpret_cast<const unsigned char*>(requestDer.data());
    ossl::X509ReqPtr req(d2i_X509_REQ(nullptr, &p, static_cast<long>(requestDer.size())));
    if (!req)
        return {};
    const KeyAndCert issuer = makeRsaCert(2048);
    ossl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 77);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), X509_REQ_get0_pubkey(req.get()));
    X509_set_subject_name(cert.get(), X509_REQ_get_subject_name(req.get()));
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer.cert.get()));
    X509_sign(cert.get(), issuer.key.get(), EVP_sha256());
    return ossl::toDer(cert.get(), i2d_X509);
}

bool verifyRsaPkcs1(EVP_PKEY* publicKey, const EVP_MD* md, const std::string& data, const std::string& signature)
{
    ossl::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, publicKey) != 1
        || EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size())
           == 1;
}

int connectLoopback(int port, int receiveBuffer)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void resetClose(int fd)
{
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace testsupport
