import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// The station's name, whether it is on air (with the clock and the
// listeners), and the gear menu.
RowLayout {
    id: header
    signal change()
    signal about()
    signal relay()
    property double now: Date.now()
    spacing: 8

    Timer {
        interval: 1000
        repeat: true
        running: Station.onAir
        triggeredOnStart: true
        onTriggered: header.now = Date.now()
    }

    ColumnLayout {
        spacing: 3
        Layout.fillWidth: true
        Text {
            text: Station.presence.stationName !== "" ? Station.presence.stationName : "Lantern FM"
            font.pixelSize: 17
            font.weight: Font.ExtraBold
            color: Lantern.text
            elide: Text.ElideRight
            Layout.fillWidth: true
            Accessible.role: Accessible.Heading
        }
        Text {
            visible: !Station.onAir
            text: "Off air"
            font.pixelSize: 12
            font.weight: Font.DemiBold
            color: Lantern.faint
        }
        RowLayout {
            visible: Station.onAir && !isNaN(Station.onAirSince.getTime())
            spacing: 6
            Item {
                implicitWidth: 8
                implicitHeight: 8
                Layout.leftMargin: 4 // the glow stays inside the text's edge
                Rectangle { // the glow
                    anchors.centerIn: parent
                    width: 16
                    height: 16
                    radius: 8
                    color: Lantern.red
                    opacity: 0.28
                }
                Rectangle {
                    anchors.fill: parent
                    radius: 4
                    color: Lantern.red
                }
            }
            Text {
                text: "ON AIR \u00B7 " + PanelText.clock((header.now - Station.onAirSince.getTime()) / 1000)
                font.pixelSize: 12
                font.bold: true
                font.letterSpacing: 0.6
                color: Lantern.text
            }
            Text {
                text: Station.linkState === Station.Connecting ? "\u00B7 connecting\u2026"
                                                                : "\u00B7 " + Station.listeners + " listening"
                                                                  + (Station.lightListeners > 0 ? ", " + Station.lightListeners
                                                                                                  + " on the light stream" : "")
                font.pixelSize: 12
                color: Lantern.faint
            }
        }
        Text {
            objectName: "catchingUp"
            visible: Station.onAir && Station.audience.catchingUp > 0
            text: Station.audience.catchingUp + " catching up"
            Layout.leftMargin: 22 // under the listener count
            font.pixelSize: 12
            color: Lantern.faint
        }
        // Who named themselves, with their reactions rising beside the line
        // and this broadcast's totals in its tooltip.
        RowLayout {
            objectName: "together"
            visible: Station.onAir && Station.audience.shown
                     && (Station.audience.line !== "" || Station.audience.totals !== "")
            spacing: 6
            Layout.leftMargin: 22
            Layout.fillWidth: true
            Text {
                objectName: "audienceLine"
                text: Station.audience.line !== "" ? Station.audience.line : "Listeners reacting"
                font.pixelSize: 12
                color: Lantern.faint
                elide: Text.ElideRight
                Layout.fillWidth: true
                Layout.maximumWidth: implicitWidth
                readonly property string totals: Station.audience.totals !== ""
                                                 ? "This broadcast: " + Station.audience.totals : ""
                HoverHandler { id: togetherHover }
                ToolTip.visible: togetherHover.hovered && totals !== ""
                ToolTip.delay: 400
                ToolTip.text: totals
                Accessible.name: text + (totals !== "" ? ". " + totals : "")
            }
            Item {
                id: rising
                objectName: "rising"
                implicitWidth: 44
                implicitHeight: 14
                Connections {
                    target: Station.audience
                    function onReacted(emoji) {
                        if (rising.children.length < 8)
                            riser.createObject(rising, { text: emoji, x: Math.random() * 28 })
                    }
                }
                Component {
                    id: riser
                    Text {
                        id: face
                        font.family: "Noto Color Emoji"
                        font.pixelSize: 13
                        y: 0
                        ParallelAnimation {
                            running: true
                            NumberAnimation { target: face; property: "y"; to: -26; duration: 1600; easing.type: Easing.OutCubic }
                            NumberAnimation { target: face; property: "opacity"; to: 0; duration: 1600; easing.type: Easing.InQuad }
                            onFinished: face.destroy()
                        }
                    }
                }
            }
        }
    }

    PanelButton {
        id: gear
        objectName: "gear"
        text: "Menu"
        popupOpen: menu.visible
        implicitWidth: 30
        implicitHeight: 30
        radius: 15
        Layout.alignment: Qt.AlignTop
        onClicked: menu.popup(gear, gear.width - menu.width, gear.height + 4)
        contentItem: Item {
            Glyph { anchors.centerIn: parent; icon: "gear"; size: 16; color: Lantern.dim }
        }
        background: HoverLift { radius: 15; over: gear.hovered || gear.down }

        PanelMenu {
            id: menu
            objectName: "gearMenu"
            PanelMenuItem {
                text: "Who Can Listen & Station Name\u2026"
                onTriggered: header.change()
            }
            PanelMenuItem {
                text: "Relay to a server\u2026"
                onTriggered: header.relay()
            }
            PanelMenuItem {
                text: "Show Recordings"
                onTriggered: Station.recordings.show()
            }
            PanelMenuItem {
                objectName: "evenLoudness"
                text: "Even Out Loudness"
                checkable: true
                checked: Station.evenLoudness
                onTriggered: Station.evenLoudness = checked
            }
            PanelMenuItem {
                objectName: "catchUp"
                text: "Let Listeners Catch Up"
                checkable: true
                checked: Station.audience.catchUp
                onTriggered: Station.audience.catchUp = checked
            }
            PanelMenuItem {
                objectName: "showAudience"
                text: "Show Listeners' Names and Reactions"
                checkable: true
                checked: Station.audience.shown
                onTriggered: Station.audience.shown = checked
            }
            PanelMenuItem {
                id: atLogin
                text: "Open at Login"
                checkable: true
                checked: PanelText.atLogin()
                onTriggered: checked = PanelText.setAtLogin(checked)
            }
            MenuSeparator {
                contentItem: Rectangle { implicitHeight: 1; color: Lantern.line }
            }
            PanelMenuItem {
                text: "Email Us\u2026"
                onTriggered: PanelText.emailUs()
            }
            PanelMenuItem {
                text: "About Lantern FM"
                onTriggered: header.about()
            }
            PanelMenuItem {
                text: "Quit Lantern FM"
                shortcutText: "Ctrl+Q"
                onTriggered: Station.quit()
            }
            onAboutToShow: atLogin.checked = PanelText.atLogin()
        }
    }
}
