import QtQuick
import QtQuick.Controls

// A drop-down menu in the panel's colours.
Menu {
    id: menu
    padding: 5
    implicitWidth: Math.max(200, contentWidth + leftPadding + rightPadding)
    delegate: PanelMenuItem {}
    background: Rectangle {
        implicitWidth: 200
        color: "#26272F"
        radius: 9
        border.color: Lantern.line
        border.width: 1
    }
    enter: Transition { NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 90 } }
    exit: Transition { NumberAnimation { property: "opacity"; from: 1; to: 0; duration: 70 } }
}
