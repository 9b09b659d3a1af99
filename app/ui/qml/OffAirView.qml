import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// Off air: the header, what would play, the go-on-air button, who can
// listen, the status and the microphone.
ColumnLayout {
    id: view
    signal goOnAir()
    signal change()
    signal about()
    signal relay()
    spacing: 14

    StationHeader {
        Layout.fillWidth: true
        onChange: view.change()
        onAbout: view.about()
        onRelay: view.relay()
    }
    Scrolling {
        NowPlayingCard { Layout.fillWidth: true }

        PanelButton {
            id: goButton
            objectName: "goOnAir"
            Layout.fillWidth: true
            implicitHeight: 48
            radius: 24
            text: "Go On Air" + (Station.source ? " \u00B7 " + Station.source.name : "")
            focus: true
            onClicked: view.goOnAir()
            contentItem: RowLayout {
                spacing: 8
                Item { Layout.fillWidth: true }
                Glyph { icon: "broadcast"; themeName: ""; size: 18; color: Lantern.ink }
                Text {
                    text: goButton.text
                    font.pixelSize: 16
                    font.bold: true
                    color: Lantern.ink
                    elide: Text.ElideRight
                    Layout.maximumWidth: goButton.width - 72
                }
                Item { Layout.fillWidth: true }
            }
            background: Rectangle {
                radius: height / 2
                color: goButton.down ? Qt.darker(Lantern.pink, 1.12)
                     : goButton.hovered ? Qt.lighter(Lantern.pink, 1.06) : Lantern.pink
            }
        }
        Shortcut {
            sequences: ["Return", "Enter"]
            onActivated: view.goOnAir()
        }

        PanelButton {
            id: linkRow
            Layout.fillWidth: true
            implicitHeight: row.implicitHeight + 20
            radius: 10
            text: PanelText.linkSummary(Station.presence.mode, Station.presence.inUse, Station.presence.passcode !== "")
            tip: "Who can listen, the passcode, your station's name"
            onClicked: view.change()
            contentItem: RowLayout {
                id: row
                spacing: 8
                Glyph {
                    icon: Station.presence.passcode !== "" ? "lock" : "link"
                    size: 12
                    color: Lantern.dim
                    Layout.preferredWidth: 16
                }
                Text {
                    text: linkRow.text
                    font.pixelSize: 13
                    color: Lantern.text
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
                Text { text: "Change"; font.pixelSize: 12; color: Lantern.pink }
            }
            leftPadding: 10
            rightPadding: 10
            background: Rectangle {
                radius: 10
                color: Lantern.field
                HoverLift { radius: 10; over: linkRow.hovered || linkRow.down }
            }
        }

        Text {
            visible: Station.status !== ""
            text: Station.status
            textFormat: Text.PlainText
            font.pixelSize: 12
            color: Lantern.dim
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }

        Rectangle { Layout.fillWidth: true; implicitHeight: 1; color: Lantern.line }

        RecordRow { Layout.fillWidth: true }

        MicRow { Layout.fillWidth: true }
    }
}
