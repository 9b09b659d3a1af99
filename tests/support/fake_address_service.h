#pragma once

#include <QTcpServer>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace lantern::test {

// A stand-in for the address service on 127.0.0.1: records each request and
// answers with the next scripted reply (200 with an empty body when none is
// left). A reply with `silent` set is never sent.
class FakeAddressService : public QObject {
public:
    struct Request {
        QString method, path;
        std::string head; // the request line and header fields, for headerField()
        QByteArray body;
        nlohmann::json json() const {
            return nlohmann::json::parse(body.toStdString(), nullptr, false);
        }
    };
    struct Reply {
        int status = 200;
        QByteArray body;
        bool silent = false;
    };

    FakeAddressService();
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()); }
    void answer(Reply reply) { replies_.push_back(std::move(reply)); }
    const std::vector<Request>& requests() const { return requests_; }

private:
    QTcpServer server_;
    std::deque<Reply> replies_;
    std::vector<Request> requests_;
};

} // namespace lantern::test
