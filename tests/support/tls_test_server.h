// TLS fixtures made at test time with the OpenSSL API: a certificate
// authority that issues server certificates, and a scripted TLS server on a
// loopback port inside the test process that stands in for the maker's
// services. Clients trust the test CA through SSL_CERT_FILE (ScopedEnvVar).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// OpenSSL's own type names, declared here so users need not include OpenSSL.
typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;
typedef struct ssl_ctx_st SSL_CTX;

// A certificate and its private key, both PEM.
struct PemIdentity {
    std::string certificatePem;
    std::string privateKeyPem;
};

// A self-signed CA (EC P-256, valid from an hour ago for a day).
class TestCertificateAuthority {
public:
    explicit TestCertificateAuthority(const std::string& commonName = "Brisvane Test CA");
    ~TestCertificateAuthority();
    TestCertificateAuthority(const TestCertificateAuthority&) = delete;
    TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

    const std::string& certificatePem() const { return certificatePem_; }

    // A server certificate with these subject alternative names, signed by
    // this CA. Fails the test when OpenSSL refuses.
    PemIdentity issueServerCertificate(const std::vector<std::string>& dnsNames,
                                       const std::vector<std::string>& ipAddresses = {}) const;

    // Writes the CA certificate to `path`, to be named by SSL_CERT_FILE.
    void writeCertificate(const std::string& path) const;

private:
    EVP_PKEY* key_ = nullptr;
    X509* cert_ = nullptr;
    std::string certificatePem_;
};

// Sets an environment variable for the object's lifetime and restores the
// previous value (or its absence) afterwards.
class ScopedEnvVar {
public:
    ScopedEnvVar(const std::string& name, const std::string& value);
    ~ScopedEnvVar();
    ScopedEnvVar(const ScopedEnvVar&) = delete;
    ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

private:
    std::string name_;
    bool hadValue_ = false;
    std::string oldValue_;
};

// A TLS server on 127.0.0.1 with a free port, served by one thread. Each
// connection is handled in turn: handshake, read the request (head and a
// Content-Length body), record it, write the scripted answer bytes as they
// are, close. A failed handshake (the client refused the certificate) is
// counted and records nothing. Ignores SIGPIPE for the process.
class ScriptedTlsServer {
public:
    explicit ScriptedTlsServer(const PemIdentity& identity);
    ~ScriptedTlsServer();  // stops and joins the thread
    ScriptedTlsServer(const ScriptedTlsServer&) = delete;
    ScriptedTlsServer& operator=(const ScriptedTlsServer&) = delete;

    int port() const { return port_; }

    // The raw bytes sent to every following connection.
    void setAnswer(const std::string& bytes);
    // Sends no answer: keeps each connection open until the client leaves or
    // the server stops (for client time-out tests).
    void setSilent(bool silent);

    // Requests received so far, each as the exact bytes of head and body.
    std::vector<std::string> requests() const;
    // Connections accepted so far, handshakes failed so far.
    int connections() const { return connections_.load(); }
    int failedHandshakes() const { return failedHandshakes_.load(); }

    // "HTTP/1.1 200 OK" with a JSON Content-Type, Content-Length and `body`.
    static std::string httpAnswer(const std::string& body);

private:
    void run();
    void serve(int fd);

    SSL_CTX* ctx_ = nullptr;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> failedHandshakes_{0};
    mutable std::mutex mutex_;
    std::string answer_;
    bool silent_ = false;
    std::vector<std::string> requests_;
    std::thread thread_;
};
