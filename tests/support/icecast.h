// A real Icecast server (Debian's icecast2) for tests: on 127.0.0.1 at a port
// of its own, with its configuration and logs in a private folder, the source
// password "hackme"; answering its status page once made; stopped by its pid.
// With TLS it also listens for https at a second port, with a certificate of
// its own for "localhost".
#pragma once

#include <QTemporaryDir>
#include <nlohmann/json.hpp>
#include <sys/types.h>

namespace lantern::test {

class Icecast {
public:
    enum class Tls { off, on };
    explicit Icecast(Tls tls = Tls::off);
    ~Icecast(); // not copied: its folder cannot be

    std::uint16_t port() const { return port_; }
    std::uint16_t tlsPort() const { return tlsPort_; }
    // The https port's certificate, to trust (PEM).
    std::string certificate() const { return folder_.filePath("certificate.pem").toStdString(); }
    // Its status page's record of the mount at `path`; {} while there is none.
    nlohmann::json mount(const std::string& path = "/live");
    // Killed at once, as by a crash (SIGKILL), and started again on the same ports.
    void kill();
    void start();

private:
    QTemporaryDir folder_;
    std::uint16_t port_ = 0;
    std::uint16_t tlsPort_ = 0;
    Tls tls_;
    pid_t pid_ = -1;
};

} // namespace lantern::test
