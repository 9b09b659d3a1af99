import QtQuick
import QtQuick.Controls

// A text field with a rounded border; `label` names it for screen readers.
TextField {
    id: field
    property string label
    implicitHeight: 30
    font.pixelSize: 13
    color: Lantern.text
    placeholderTextColor: Lantern.faint
    selectionColor: Lantern.pink
    selectedTextColor: Lantern.ink
    leftPadding: 9
    rightPadding: 9
    Accessible.name: label
    background: Rectangle {
        radius: 7
        color: Lantern.field
        border.width: field.activeFocus ? 2 : 1
        border.color: field.activeFocus ? Lantern.pink : Lantern.line
    }
}
