import QtQuick
import QtQuick.Controls

// A small switch.
Switch {
    id: toggle
    property string tip
    padding: 0
    spacing: 0
    implicitWidth: 34
    implicitHeight: 20
    focusPolicy: Qt.StrongFocus
    Accessible.name: tip
    ToolTip.visible: tip !== "" && hovered
    ToolTip.delay: 700
    ToolTip.text: tip
    indicator: Rectangle {
        implicitWidth: 34
        implicitHeight: 20
        radius: 10
        color: toggle.checked ? Lantern.pink : Lantern.line
        border.color: toggle.visualFocus ? Lantern.text : "transparent"
        border.width: 2
        Behavior on color { ColorAnimation { duration: 120 } }
        Rectangle {
            x: toggle.checked ? parent.width - width - 3 : 3
            y: 3
            width: 14
            height: 14
            radius: 7
            color: "#FFFFFF"
            Behavior on x { NumberAnimation { duration: 120; easing.type: Easing.OutCubic } }
        }
    }
    contentItem: Item {}
}
