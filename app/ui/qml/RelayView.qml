import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// Relaying the station to an Icecast server, for more listeners than one
// home connection carries: the server's address, its source password (kept
// in the keyring) and, when listeners reach the server elsewhere, where.
ColumnLayout {
    id: view
    signal back()
    spacing: 12

    RelaySheet {
        id: sheet
        onDone: view.back()
    }

    Text {
        text: "Relay to a server"
        font.pixelSize: 17
        font.weight: Font.ExtraBold
        color: Lantern.text
        Accessible.role: Accessible.Heading
    }
    Text {
        text: "Your station also plays from an Icecast server, and the listening page plays it "
            + "from there: more listeners than your connection carries."
        font.pixelSize: 12
        color: Lantern.dim
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }

    Card {
        Layout.fillWidth: true
        ColumnLayout {
            width: parent.width
            spacing: 6
            Text { text: "Server"; font.pixelSize: 12; color: Lantern.dim }
            Field {
                objectName: "relayAddress"
                label: "Server"
                placeholderText: "icecast://radio.example.org:8000/live"
                inputMethodHints: Qt.ImhUrlCharactersOnly
                text: sheet.address
                onTextEdited: sheet.address = text
                Layout.fillWidth: true
            }
            Text { text: "Source password"; font.pixelSize: 12; color: Lantern.dim }
            Field {
                objectName: "relayPassword"
                label: "Source password"
                placeholderText: sheet.relaying ? "Kept in your keyring" : "The server's source password"
                echoMode: TextInput.Password
                text: sheet.password
                onTextEdited: sheet.password = text
                Layout.fillWidth: true
            }
            Text { text: "Listeners play it at (optional)"; font.pixelSize: 12; color: Lantern.dim }
            Field {
                objectName: "relayListenAddress"
                label: "Listeners play it at"
                placeholderText: "The server's own address"
                inputMethodHints: Qt.ImhUrlCharactersOnly
                text: sheet.listenAddress
                onTextEdited: sheet.listenAddress = text
                Layout.fillWidth: true
            }
        }
    }

    Text {
        objectName: "relayPasscodeNote"
        visible: sheet.passcodeNote !== "" && sheet.address.trim() !== ""
        text: sheet.passcodeNote
        font.pixelSize: 12
        color: Lantern.red
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }
    Text {
        objectName: "relayNotice"
        visible: sheet.notice !== ""
        text: sheet.notice
        font.pixelSize: 12
        color: Lantern.text
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }
    Text {
        objectName: "relayLine"
        visible: text !== ""
        text: sheet.problem !== "" ? sheet.problem : Station.relay.line
        font.pixelSize: 12
        color: sheet.problem !== "" ? Lantern.pink : Lantern.dim
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }

    RowLayout {
        spacing: 8
        Layout.fillWidth: true
        PanelButton {
            id: cancelButton
            objectName: "relayCancel"
            text: "Cancel"
            implicitHeight: 40
            leftPadding: 10
            rightPadding: 10
            onClicked: view.back()
            contentItem: Text {
                text: cancelButton.text
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: Lantern.dim
                verticalAlignment: Text.AlignVCenter
            }
            background: HoverLift { radius: 8; over: cancelButton.hovered }
        }
        PanelButton {
            id: stopButton
            objectName: "relayStop"
            visible: sheet.relaying
            text: "Stop Relaying"
            implicitHeight: 40
            leftPadding: 10
            rightPadding: 10
            onClicked: sheet.stopRelaying()
            contentItem: Text {
                text: stopButton.text
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: Lantern.text
                verticalAlignment: Text.AlignVCenter
            }
            background: HoverLift { radius: 8; over: stopButton.hovered }
        }
        PanelButton {
            id: save
            objectName: "relaySave"
            text: sheet.notice !== "" ? "OK" : "Relay"
            enabled: !sheet.working
            Layout.fillWidth: true
            implicitHeight: 40
            radius: 20
            onClicked: sheet.save()
            contentItem: Text {
                text: save.text
                font.pixelSize: 14
                font.bold: true
                color: Lantern.ink
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
            }
            background: Rectangle {
                radius: height / 2
                color: save.down ? Qt.darker(Lantern.pink, 1.12)
                     : save.hovered ? Qt.lighter(Lantern.pink, 1.06) : Lantern.pink
                opacity: save.enabled ? 1 : 0.45
            }
        }
    }
}
