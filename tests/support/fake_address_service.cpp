#include "support/fake_address_service.h"

#include "core/stream/http.h"

#include <QTcpSocket>

namespace lantern::test {

FakeAddressService::FakeAddressService() {
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
                requests_.push_back(
                    {QString(line.value(0)), QString(line.value(1)), head, bytes.mid(end, length)});
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

} // namespace lantern::test
