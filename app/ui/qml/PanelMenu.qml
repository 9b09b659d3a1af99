import QtQuick
import QtQuick.Controls

// A drop-down menu in the panel's colours, as wide as its widest item and
// always whole inside the panel.
Menu {
    id: menu
    padding: 5
    margins: 6
    z: 10 // above any tooltip
    readonly property real widest: {
        let most = 0
        for (let i = 0; i < count; ++i) {
            const item = itemAt(i)
            if (item) most = Math.max(most, item.implicitWidth)
        }
        return most
    }
    implicitWidth: Math.max(200, widest + leftPadding + rightPadding)
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
