#include "support/icecast.h"

#include "core/link/tunnel_metrics.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/lantern_run.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lantern::test {

Icecast::Icecast(Tls tls) : tls_(tls) {
    const auto folder = folder_.path().toStdString();
    if (tls == Tls::on) {
        const auto made =
            runProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                        "-keyout", folder + "/key.pem", "-out", certificate()},
                       std::chrono::seconds(30));
        EXPECT_EQ(made.status, 0) << made.error;
        // Icecast reads the certificate and its key from one file.
        std::ofstream(folder + "/icecast.pem")
            << std::ifstream(certificate()).rdbuf() << std::ifstream(folder + "/key.pem").rdbuf();
        ::chmod((folder + "/icecast.pem").c_str(), 0644);
    }
    // It drops root for an unprivileged user, who writes the logs.
    ::chmod(folder.c_str(), 0777);
    // Its ports are chosen here but bound by icecast2, which shares them with
    // nobody: one taken meanwhile is started again on others.
    for (int tries = 0; tries < 5 && pid_ < 0; ++tries) {
        port_ = TunnelMetrics::freePort().value_or(0);
        tlsPort_ = tls == Tls::on ? TunnelMetrics::freePort().value_or(0) : 0;
        start();
        const auto listening = [&] {
            const auto ports = listeningPorts(pid_);
            return ports.contains(port_) && (!tlsPort_ || ports.contains(tlsPort_));
        };
        if (!eventually([&] { return listening() || processGone(pid_); }, 10s) || !listening())
            kill();
    }
    EXPECT_GT(pid_, 0) << "icecast2 did not listen";
    EXPECT_TRUE(eventually([&] { return fetchJSON(port_, "/status-json.xsl").first == 200; }, 10s))
        << "icecast2 did not answer";
}

Icecast::~Icecast() {
    if (pid_ > 0) endProgram(pid_);
}

void Icecast::start() {
    const auto folder = folder_.path().toStdString();
    const std::string owner = ::getuid() == 0 ? "<changeowner><user>nobody</user>"
                                                "<group>nogroup</group></changeowner>"
                                              : "";
    const auto socket = [](std::uint16_t port, const char* more) {
        return "<listen-socket><port>" + std::to_string(port) +
               "</port><bind-address>127.0.0.1</bind-address>" + more + "</listen-socket>";
    };
    std::ofstream(folder + "/icecast.xml")
        << "<icecast><location>test</location><admin>test@localhost</admin>"
           "<limits><clients>5000</clients><sources>4</sources><source-timeout>10</source-timeout>"
           "<burst-on-connect>1</burst-on-connect><burst-size>65535</burst-size></limits>"
           "<authentication><source-password>hackme</source-password>"
           "<admin-user>admin</admin-user><admin-password>hackme</admin-password></authentication>"
           "<hostname>127.0.0.1</hostname>"
        << socket(port_, "") << (tls_ == Tls::on ? socket(tlsPort_, "<ssl>1</ssl>") : "")
        << "<fileserve>1</fileserve><paths><basedir>/usr/share/icecast2</basedir><logdir>" << folder
        << "</logdir>"
        << (tls_ == Tls::on ? "<ssl-certificate>" + folder + "/icecast.pem</ssl-certificate>" : "")
        << "<webroot>/usr/share/icecast2/web</webroot>"
           "<adminroot>/usr/share/icecast2/admin</adminroot></paths>"
           "<logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
           "<loglevel>3</loglevel></logging><security><chroot>0</chroot>"
        << owner << "</security></icecast>\n";
    ::chmod((folder + "/icecast.xml").c_str(), 0644);
    pid_ = startProgram({"icecast2", "-c", folder + "/icecast.xml"});
    ASSERT_GT(pid_, 0) << "icecast2 did not start: is it installed?";
}

void Icecast::kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

nlohmann::json Icecast::mount(const std::string& path) {
    auto sources = fetchJSON(port_, "/status-json.xsl")
                       .second.value("/icestats/source"_json_pointer, nlohmann::json::array());
    if (sources.is_object()) sources = nlohmann::json::array({sources}); // one is not in a list
    for (const auto& source : sources)
        if (source.value("listenurl", "").ends_with(path)) return source;
    return nlohmann::json::object();
}

} // namespace lantern::test
