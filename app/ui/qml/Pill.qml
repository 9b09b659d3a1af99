import QtQuick
import QtQuick.Controls

// A small capsule button with a hairline border.
PanelButton {
    id: pill
    radius: 14
    implicitHeight: 28
    implicitWidth: label.implicitWidth + 20
    contentItem: Text {
        id: label
        text: pill.text
        font.pixelSize: 12
        color: Lantern.text
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: height / 2
        color: "transparent"
        border.color: Lantern.line
        border.width: 1
        HoverLift { radius: parent.radius; over: pill.hovered || pill.down }
    }
}
