import QtQuick
import QtQuick.Controls

// The panel's button behaviour: reachable with Tab, pressed with Space or
// Return, a focus ring when reached from the keyboard, a tooltip.
AbstractButton {
    id: control
    property string tip
    property real radius: 8
    // The menu or popover it opens is showing: no tooltip over it.
    property bool popupOpen: false
    focusPolicy: Qt.StrongFocus
    hoverEnabled: true
    Accessible.name: text
    Accessible.description: tip
    Keys.onReturnPressed: control.clicked()
    Keys.onEnterPressed: control.clicked()
    ToolTip.visible: tip !== "" && hovered && !down && !popupOpen
    ToolTip.delay: 700
    ToolTip.text: tip

    Rectangle {
        z: 10
        anchors.fill: parent
        anchors.margins: -2
        radius: control.radius + 2
        color: "transparent"
        border.color: Lantern.pink
        border.width: 2
        visible: control.visualFocus
    }
}
