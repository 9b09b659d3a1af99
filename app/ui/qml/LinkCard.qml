import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// The link to share: a small QR code, the kind of link, the address, and
// Copy Link, Show QR and Share….
Card {
    id: card
    signal change()
    readonly property string link: Station.shareLink.toString()
    readonly property string modeTitle: Station.presence.mode === LinkMode.Kept ? "Your private link"
                                      : Station.presence.mode === LinkMode.Named ? "Your name"
                                      : "This broadcast's link"

    Text {
        visible: card.link === ""
        text: "Getting your link\u2026"
        font.pixelSize: 13
        color: Lantern.dim
    }

    RowLayout {
        visible: card.link !== ""
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
                    onClicked: {
                        Station.copyLink()
                        copied = true
                        copiedTimer.restart()
                    }
                    Timer { id: copiedTimer; interval: 1500; onTriggered: copyPill.copied = false }
                }
                Pill {
                    id: qrPill
                    text: "Show QR"
                    onClicked: bigQR.opened ? bigQR.close() : bigQR.open()

                    Popup {
                        id: bigQR
                        y: qrPill.height + 6
                        x: (qrPill.width - width) / 2
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
                    text: "Share\u2026"
                    onClicked: shareMenu.popup(sharePill, 0, sharePill.height + 4)
                    PanelMenu {
                        id: shareMenu
                        PanelMenuItem {
                            text: "Email Link\u2026"
                            onTriggered: PanelText.emailLink(Station.shareLink)
                        }
                        PanelMenuItem {
                            text: "Copy Link"
                            onTriggered: Station.copyLink()
                        }
                    }
                }
            }
        }
    }
}
