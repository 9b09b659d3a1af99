import QtQuick

// A soft highlight over a control while the pointer is on it.
Rectangle {
    property bool over: false
    anchors.fill: parent
    color: over ? Lantern.hover : "transparent"
    Behavior on color { ColorAnimation { duration: 90 } }
}
