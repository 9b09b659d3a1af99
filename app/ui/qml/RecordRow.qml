import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// Keeping the show as a file: on or off, and on air how long the recording
// is so far.
RowLayout {
    id: row
    spacing: 10
    Accessible.role: Accessible.Grouping
    Accessible.name: "Record"

    Item {
        implicitWidth: 16
        implicitHeight: 16
        Rectangle {
            anchors.centerIn: parent
            width: 10
            height: 10
            radius: 5
            color: Station.recordings.seconds >= 0 ? Lantern.red : "transparent"
            border.color: Station.recordings.seconds >= 0 ? Lantern.red : Lantern.faint
            border.width: 1.5
        }
    }
    Text {
        text: "Record"
        font.pixelSize: 13
        color: Lantern.text
        Layout.fillWidth: true
    }
    Text {
        objectName: "recordedLength"
        visible: Station.recordings.seconds >= 0
        text: PanelText.clock(Station.recordings.seconds)
        font.pixelSize: 12
        color: Lantern.dim
    }
    Toggle {
        objectName: "record"
        checked: Station.recordings.on
        tip: Station.recordings.on ? "Stop recording the show" : "Record the show to a file"
        onToggled: {
            Station.recordings.on = checked
            checked = Qt.binding(() => Station.recordings.on)
        }
    }
}
