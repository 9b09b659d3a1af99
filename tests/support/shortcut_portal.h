#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>
#include <gtest/gtest.h>

namespace lantern::test {

// The stand-in portal (fixtures/dbus-standin.py portal) and its controls.
inline const char* const portalName = "org.freedesktop.portal.Desktop";

// Calls the stand-in portal's test method; what it returned.
inline QString portalCall(const QString& method, const QVariantList& arguments = {}) {
    auto call = QDBusMessage::createMethodCall(portalName, "/org/freedesktop/portal/desktop",
                                               "org.lantern.test.Portal", method);
    call.setArguments(arguments);
    const auto reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << method.toStdString();
    return reply.arguments().value(0).toString();
}

} // namespace lantern::test
