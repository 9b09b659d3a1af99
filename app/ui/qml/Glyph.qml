import QtQuick
import QtQuick.Controls.impl

// One of the panel's symbols, drawn in `color`: the desktop's icon when the
// theme has `themeName`, else our own.
IconImage {
    property string icon
    property string themeName
    property real size: 16
    name: themeName
    source: icon ? "qrc:/qt/qml/Lantern/icons/" + icon + ".svg" : ""
    sourceSize: Qt.size(size, size)
    width: size
    height: size
    fillMode: Image.PreserveAspectFit
}
