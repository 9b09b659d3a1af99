#pragma once

#include "core/stream/http.h"

#include <QTcpServer>
#include <QTcpSocket>
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

    FakeAddressService() {
        server_.listen(QHostAddress::LocalHost, 0);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (auto* socket = server_.nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    // The request stays unread until it has arrived whole.
                    const auto bytes = socket->peek(socket->bytesAvailable());
                    const auto end = bytes.indexOf("\r\n\r\n") + 4;
                    if (end < 4) return;
                    const auto head = bytes.left(end - 4).toStdString();
                    const auto length =
                        std::stoi(std::string(headerField(head, "Content-Length").value_or("0")));
                    if (bytes.size() < end + length) return;
                    socket->readAll();
                    const auto line = bytes.left(bytes.indexOf('\r')).split(' ');
                    requests_.push_back({QString(line.value(0)), QString(line.value(1)), head,
                                         bytes.mid(end, length)});
                    const auto reply = replies_.empty() ? Reply() : replies_.front();
                    if (!replies_.empty()) replies_.pop_front();
                    if (reply.silent) return;
                    socket->write(
                        "HTTP/1.1 " + QByteArray::number(reply.status) +
                        " Scripted\r\nContent-Length: " + QByteArray::number(reply.body.size()) +
                        "\r\nConnection: close\r\n\r\n" + reply.body);
                    socket->disconnectFromHost();
                });
            }
        });
    }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()); }
    void answer(Reply reply) { replies_.push_back(std::move(reply)); }
    const std::vector<Request>& requests() const { return requests_; }

private:
    QTcpServer server_;
    std::deque<Reply> replies_;
    std::vector<Request> requests_;
};

} // namespace lantern::test
