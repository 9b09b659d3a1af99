#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

namespace lantern::test {

// A stand-in for the address service on 127.0.0.1: records each request and
// answers with the next scripted reply (200 with an empty body when none is
// left). A reply with `silent` set is never sent.
class FakeAddressService : public QObject {
public:
    struct Request {
        QString method;
        QString path;
        std::map<QString, QString> headers; // names in lower case
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
    QString base() const;
    void answer(Reply reply) { replies_.push_back(std::move(reply)); }
    const std::vector<Request>& requests() const { return requests_; }

private:
    void serve(class QTcpSocket* socket);

    QTcpServer server_;
    std::deque<Reply> replies_;
    std::vector<Request> requests_;
};

} // namespace lantern::test
