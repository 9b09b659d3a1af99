import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A row that opens a menu: its leading content, then an up-down chevron, on a
// subtle field.
PanelButton {
    id: row
    default property alias leading: content.data
    implicitHeight: 36
    radius: 8
    contentItem: RowLayout {
        spacing: 8
        RowLayout {
            id: content
            spacing: 8
            Layout.fillWidth: true
        }
        Glyph {
            icon: "chevrons"
            size: 12
            color: Lantern.faint
        }
    }
    leftPadding: 10
    rightPadding: 10
    background: Rectangle {
        radius: 8
        color: Lantern.field
        HoverLift { radius: 8; over: row.hovered || row.down }
    }
}
