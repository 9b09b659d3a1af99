import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A menu item: a check mark when checked, an optional icon, the text and an
// optional shortcut.
MenuItem {
    id: item
    property string iconName
    property string shortcutText
    implicitHeight: 30
    implicitWidth: row.implicitWidth + 20
    // The check mark is the row's own; the style's would be a second one.
    indicator: Item {}
    arrow: Item {}
    Accessible.name: text
    contentItem: RowLayout {
        id: row
        spacing: 8
        Glyph {
            icon: "check"
            size: 12
            color: item.highlighted ? Lantern.ink : Lantern.text
            opacity: item.checked ? 1 : 0
            visible: item.checkable
        }
        Glyph {
            visible: item.iconName !== ""
            themeName: item.iconName
            size: 16
            color: "transparent"
        }
        Text {
            text: item.text
            textFormat: Text.PlainText
            font.pixelSize: 13
            color: !item.enabled ? Lantern.faint : item.highlighted ? Lantern.ink : Lantern.text
            elide: Text.ElideRight
            Layout.fillWidth: true
            Layout.maximumWidth: 300
        }
        Text {
            visible: item.shortcutText !== ""
            text: item.shortcutText
            font.pixelSize: 12
            color: item.highlighted ? Lantern.ink : Lantern.faint
        }
    }
    background: Rectangle {
        radius: 6
        color: item.highlighted ? Lantern.pink : "transparent"
    }
}
