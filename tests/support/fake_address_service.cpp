#include "support/fake_address_service.h"

#include <QTcpSocket>

namespace lantern::test {

FakeAddressService::FakeAddressService() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (auto* socket = server_.nextPendingConnection())
            serve(socket);
    });
}

QString FakeAddressService::base() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort());
}

void FakeAddressService::serve(QTcpSocket* socket) {
    auto buffer = std::make_shared<QByteArray>();
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
        buffer->append(socket->readAll());
        const auto headEnd = buffer->indexOf("\r\n\r\n");
        if (headEnd < 0) return;
        const auto lines = buffer->left(headEnd).split('\n');
        Request request;
        const auto requestLine = lines.front().trimmed().split(' ');
        request.method = QString::fromLatin1(requestLine.value(0));
        request.path = QString::fromLatin1(requestLine.value(1));
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const auto colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers[QString::fromLatin1(lines[i].left(colon)).toLower()] =
                    QString::fromLatin1(lines[i].mid(colon + 1).trimmed());
        }
        const auto length = request.headers["content-length"].toLongLong();
        if (buffer->size() < headEnd + 4 + length) return;
        request.body = buffer->mid(headEnd + 4, length);
        buffer->clear();
        requests_.push_back(request);
        Reply reply;
        if (!replies_.empty()) {
            reply = replies_.front();
            replies_.pop_front();
        }
        if (reply.silent) return;
        socket->write("HTTP/1.1 " + QByteArray::number(reply.status) +
                      " Scripted\r\nContent-Length: " + QByteArray::number(reply.body.size()) +
                      "\r\nConnection: close\r\n\r\n" + reply.body);
        socket->disconnectFromHost();
    });
}

} // namespace lantern::test
