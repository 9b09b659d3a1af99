import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// On air: the header with the clock and listeners, the status, what plays,
// the link to share, the microphone, and going off air.
ColumnLayout {
    id: view
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
        Text {
            visible: Station.status !== ""
            text: Station.status
            textFormat: Text.PlainText
            font.pixelSize: 12
            color: Lantern.dim
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        NowPlayingCard { Layout.fillWidth: true }
        LinkCard {
            Layout.fillWidth: true
            onChange: view.change()
        }
        // The relay to a server, in one line (a problem already in the
        // status line is not said twice).
        Text {
            objectName: "relayState"
            visible: Station.relay.line !== "" && Station.relay.line !== Station.status
            text: Station.relay.line
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

    RowLayout {
        spacing: 10
        Layout.fillWidth: true
        PanelButton {
            id: offButton
            objectName: "goOffAir"
            text: "Go Off Air"
            Layout.fillWidth: true
            implicitHeight: 36
            radius: 18
            onClicked: Station.goOffAir()
            contentItem: Text {
                text: offButton.text
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: Lantern.text
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
            }
            background: Rectangle {
                radius: height / 2
                color: "transparent"
                border.color: Lantern.line
                border.width: 1
                HoverLift { radius: parent.radius; over: offButton.hovered || offButton.down }
            }
        }
        PanelButton {
            id: stopButton
            objectName: "stopAfter"
            text: PanelText.stopLabel(Station.stopAt)
            popupOpen: stopMenu.visible
            implicitHeight: 36
            onClicked: stopMenu.popup(stopButton, 0, stopButton.height)
            contentItem: RowLayout {
                spacing: 4
                Text { text: stopButton.text; font.pixelSize: 12; color: Lantern.dim }
                Glyph { icon: "chevrons"; size: 10; color: Lantern.faint }
            }
            leftPadding: 8
            rightPadding: 8
            background: HoverLift { radius: 8; over: stopButton.hovered }

            PanelMenu {
                id: stopMenu
                objectName: "stopMenu"
                Instantiator {
                    model: PanelText.stopChoices
                    delegate: PanelMenuItem {
                        required property var modelData
                        text: PanelText.stopChoice(modelData)
                        onTriggered: Station.stopAfter(modelData)
                    }
                    onObjectAdded: (index, item) => stopMenu.insertItem(index, item)
                    onObjectRemoved: (index, item) => stopMenu.removeItem(item)
                }
                PanelMenuItem {
                    text: "Don't Stop"
                    onTriggered: Station.stopAfter(0)
                }
            }
        }
    }
}
