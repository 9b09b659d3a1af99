import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// The link to share: a small QR code, the kind of link, the address, and
// Copy Link, Show QR and Share…; once it has answered from the outside.
// Without the tunnel program, what is missing and where the station can
// still be heard.
Card {
    id: card
    signal change()
    readonly property string link: Station.shareLink.toString()
    readonly property int state: Station.linkState
    readonly property bool shown: card.link !== ""
                                  && (card.state === Station.Ready || card.state === Station.Unreachable)
    // A passing word about what an action did.
    property string note
    onNoteChanged: if (note !== "") noteTimer.restart()
    Timer { id: noteTimer; interval: 4000; onTriggered: card.note = "" }
    readonly property string modeTitle: Station.presence.mode === LinkMode.Kept ? "Your private link"
                                      : Station.presence.mode === LinkMode.Named ? "Your name"
                                      : Station.presence.mode === LinkMode.Own ? "Your own address"
                                      : "This broadcast's link"

    Text {
        visible: !card.shown && card.state !== Station.ToolMissing
        text: card.state === Station.Checking ? "Checking your link\u2026" : "Getting your link\u2026"
        font.pixelSize: 13
        color: Lantern.dim
    }

    Column {
        objectName: "toolMissing"
        visible: card.state === Station.ToolMissing
        width: parent.width
        spacing: 8
        Text {
            text: "To share a link, Lantern FM needs cloudflared"
            font.pixelSize: 13
            color: Lantern.text
            wrapMode: Text.Wrap
            width: parent.width
        }
        Pill {
            objectName: "howToGetIt"
            text: "How to Get It"
            onClicked: Qt.openUrlExternally(Station.toolPage)
        }
        Text {
            objectName: "listenHere"
            text: "Listen on this computer: <a href=\"" + Station.localAddress + "\">"
                  + Station.localAddress + "</a>"
            textFormat: Text.StyledText
            linkColor: Lantern.pink
            font.pixelSize: 11
            color: Lantern.faint
            wrapMode: Text.WrapAnywhere
            width: parent.width
            onLinkActivated: link => Qt.openUrlExternally(link)
            Accessible.role: Accessible.Link
            Accessible.name: "Listen on this computer"
            HoverHandler { cursorShape: Qt.PointingHandCursor }
        }
    }

    RowLayout {
        visible: card.shown
        width: parent.width
        spacing: 12

        QrCode {
            text: card.link
            implicitWidth: 46
            implicitHeight: 46
            Layout.alignment: Qt.AlignTop
            Accessible.role: Accessible.Graphic
            Accessible.name: "QR code of your link"
        }

        ColumnLayout {
            spacing: 3
            Layout.fillWidth: true
            RowLayout {
                spacing: 5
                Layout.fillWidth: true
                Text { text: card.modeTitle; font.pixelSize: 14; color: Lantern.text }
                Glyph {
                    visible: Station.presence.passcode !== ""
                    icon: "lock"
                    size: 10
                    color: Lantern.dim
                    HoverHandler { id: lockHover }
                    ToolTip.visible: lockHover.hovered
                    ToolTip.text: "Passcode on \u2014 the link you share carries it"
                }
                Item { Layout.fillWidth: true }
                PanelButton {
                    id: changeButton
                    text: "Change"
                    onClicked: card.change()
                    contentItem: Text { text: changeButton.text; font.pixelSize: 12; color: Lantern.pink }
                    background: Item {}
                }
            }
            Text {
                text: PanelText.shown(Station.shareLink)
                font.pixelSize: 11
                color: Lantern.faint
                elide: Text.ElideMiddle
                Layout.fillWidth: true
            }
            RowLayout {
                spacing: 6
                Layout.topMargin: 4
                Pill {
                    id: copyPill
                    objectName: "copyLink"
                    property bool copied: false
                    text: copied ? "Copied" : "Copy Link"
                    // As wide as its longer word, so that "Copied" moves nothing.
                    implicitWidth: Math.max(copyWords.width, copiedWords.width) + 20
                    TextMetrics { id: copyWords; font.pixelSize: 12; text: "Copy Link" }
                    TextMetrics { id: copiedWords; font.pixelSize: 12; text: "Copied" }
                    onClicked: {
                        Station.copyLink()
                        copied = true
                        copiedTimer.restart()
                    }
                    Timer { id: copiedTimer; interval: 1500; onTriggered: copyPill.copied = false }
                }
                Pill {
                    id: qrPill
                    objectName: "showQR"
                    text: "Show QR"
                    popupOpen: bigQR.visible
                    onClicked: bigQR.opened ? bigQR.close() : bigQR.open()

                    Popup {
                        id: bigQR
                        objectName: "qrPopover"
                        y: qrPill.height + 6
                        x: (qrPill.width - width) / 2
                        margins: 8 // moved, whole, into the panel where it does not fit below
                        z: 10
                        padding: 18
                        background: Rectangle {
                            color: "#26272F"
                            radius: 12
                            border.color: Lantern.line
                        }
                        contentItem: Column {
                            spacing: 10
                            QrCode {
                                text: card.link
                                width: 220
                                height: 220
                                Accessible.role: Accessible.Graphic
                                Accessible.name: "QR code of your link"
                            }
                            Text {
                                text: "Point a phone's camera here"
                                font.pixelSize: 12
                                color: Lantern.dim
                                anchors.horizontalCenter: parent.horizontalCenter
                            }
                        }
                    }
                }
                Pill {
                    id: sharePill
                    objectName: "share"
                    text: "Share\u2026"
                    popupOpen: shareMenu.visible
                    onClicked: shareMenu.popup(sharePill, 0, sharePill.height + 4)
                    PanelMenu {
                        id: shareMenu
                        objectName: "shareMenu"
                        PanelMenuItem {
                            text: "Email Link\u2026"
                            onTriggered: {
                                if (PanelText.emailLink(Station.shareLink)) return
                                Station.copyLink() // no mail app: the link is ready to paste
                                card.note = "No mail app opened \u2014 the link is copied instead"
                            }
                        }
                        PanelMenuItem {
                            text: "Copy Link"
                            onTriggered: Station.copyLink()
                        }
                        PanelMenuItem {
                            text: "Copy Player Link"
                            onTriggered: {
                                Station.copyPlayerLink()
                                card.note = "For VLC, mpv or a radio app: open it there"
                            }
                        }
                    }
                }
            }
        }
    }

    Text {
        visible: card.shown && card.note !== ""
        text: card.note
        font.pixelSize: 11
        color: Lantern.dim
        wrapMode: Text.Wrap
        width: parent.width
    }

    Text {
        objectName: "room"
        visible: card.shown && Station.room > 0
        text: "Room for about " + Station.room + (Station.room === 1 ? " listener" : " listeners")
              + (Station.lightRoom > Station.room ? ", or " + Station.lightRoom + " on the light stream" : "")
        font.pixelSize: 11
        color: Lantern.faint
        Accessible.name: text
    }

    Text {
        visible: card.shown && card.state === Station.Unreachable
        text: "Not reachable yet \u2014 friends may not get through"
        font.pixelSize: 12
        color: Lantern.red
        wrapMode: Text.Wrap
        width: parent.width
    }
}
