#include "support/icecast.h"

#include "core/link/tunnel_metrics.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/raw_client.h"

#include <QFile>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lantern::test {

Icecast::Icecast(Tls tls) : port_(TunnelMetrics::freePort().value_or(0)) {
    const auto folder = folder_.path().toStdString();
    std::string secure;
    if (tls == Tls::on) {
        tlsPort_ = TunnelMetrics::freePort().value_or(0);
        const auto made =
            runProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                        "-keyout", folder + "/key.pem", "-out", certificate()},
                       std::chrono::seconds(30));
        EXPECT_EQ(made.status, 0) << made.error;
        // Icecast reads the certificate and its key from one file.
        QFile both(folder_.filePath("icecast.pem"));
        QFile key(folder_.filePath("key.pem")), certificate(folder_.filePath("certificate.pem"));
        if (both.open(QIODevice::WriteOnly) && key.open(QIODevice::ReadOnly) &&
            certificate.open(QIODevice::ReadOnly))
            both.write(certificate.readAll() + key.readAll());
        both.close();
        ::chmod(both.fileName().toStdString().c_str(), 0644);
        secure = "<listen-socket><port>" + std::to_string(tlsPort_) +
                 "</port><bind-address>127.0.0.1</bind-address><ssl>1</ssl></listen-socket>";
    }
    // It drops root for an unprivileged user, who writes the logs.
    ::chmod(folder.c_str(), 0777);
    const std::string owner = ::getuid() == 0 ? "<changeowner><user>nobody</user>"
                                                "<group>nogroup</group></changeowner>"
                                              : "";
    const auto config =
        "<icecast><location>test</location><admin>test@localhost</admin>"
        "<limits><clients>5000</clients><sources>4</sources><source-timeout>10</source-timeout>"
        "<burst-on-connect>1</burst-on-connect><burst-size>65535</burst-size></limits>"
        "<authentication><source-password>hackme</source-password>"
        "<admin-user>admin</admin-user><admin-password>hackme</admin-password></authentication>"
        "<hostname>127.0.0.1</hostname><listen-socket><port>" +
        std::to_string(port_) + "</port><bind-address>127.0.0.1</bind-address></listen-socket>" +
        secure + "<fileserve>1</fileserve><paths><basedir>/usr/share/icecast2</basedir><logdir>" +
        folder +
        (tls == Tls::on ? "</logdir><ssl-certificate>" + folder + "/icecast.pem</ssl-certificate>"
                        : std::string("</logdir>")) +
        "<webroot>/usr/share/icecast2/web</webroot>"
        "<adminroot>/usr/share/icecast2/admin</adminroot></paths>"
        "<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
        "<loglevel>3</loglevel></logging><security><chroot>0</chroot>" +
        owner + "</security></icecast>\n";
    QFile file(folder_.filePath("icecast.xml"));
    if (file.open(QIODevice::WriteOnly)) file.write(config.c_str());
    file.close();
    ::chmod(file.fileName().toStdString().c_str(), 0644);
    start();
}

Icecast::~Icecast() {
    if (pid_ > 0) endProgram(pid_);
}

void Icecast::start() {
    pid_ = startProgram({"icecast2", "-c", folder_.filePath("icecast.xml").toStdString()});
    ASSERT_GT(pid_, 0) << "icecast2 did not start: is it installed?";
}

void Icecast::kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool Icecast::ready() {
    return eventually([&] { return fetch(port_, "/status-json.xsl").starts_with("HTTP/1.0 200"); },
                      10s);
}

nlohmann::json Icecast::mounts() {
    const auto answer = fetch(port_, "/status-json.xsl");
    const auto json = nlohmann::json::parse(
        answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4)), nullptr, false);
    auto found = nlohmann::json::object();
    if (!json.is_object() || !json.contains("icestats") || !json["icestats"].contains("source"))
        return found;
    auto sources = json["icestats"]["source"];
    if (sources.is_object()) sources = nlohmann::json::array({sources});
    for (const auto& source : sources) {
        const auto url = source.value("listenurl", std::string());
        found[url.substr(std::min(url.size(), url.find('/', url.find("//") + 2)))] = source;
    }
    return found;
}

} // namespace lantern::test
