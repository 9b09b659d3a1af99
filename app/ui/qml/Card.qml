import QtQuick

// A raised card on the panel's ground.
Rectangle {
    default property alias content: inner.data
    property alias spacing: inner.spacing
    color: Lantern.card
    radius: 12
    implicitHeight: inner.implicitHeight + 24
    Column {
        id: inner
        x: 12
        y: 12
        width: parent.width - 24
        spacing: 10
    }
}
