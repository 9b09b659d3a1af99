import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// The microphone: which one, on or off; hold to talk, lock talking on, the
// voice meter and a hint.
ColumnLayout {
    id: row
    spacing: 10
    Accessible.role: Accessible.Grouping
    Accessible.name: "Microphone"
    Accessible.description: "Your voice. While you talk the music dips. Headphones keep the music from echoing into the mic."

    HoverHandler { id: rowHover }
    ToolTip.visible: rowHover.hovered && !picker.hovered && !picker.popupOpen && !toggle.hovered
                     && !talkRow.anyHovered
    ToolTip.delay: 1200
    ToolTip.text: Accessible.description

    RowLayout {
        spacing: 10
        Layout.fillWidth: true
        MicPicker { id: picker; Layout.fillWidth: true }
        Toggle {
            id: toggle
            checked: Station.mic.on
            tip: Station.mic.on ? "Turn the mic off" : "Turn the mic on"
            onToggled: {
                Station.mic.setMic(checked)
                checked = Qt.binding(() => Station.mic.on)
            }
        }
    }

    RowLayout {
        id: talkRow
        readonly property bool anyHovered: hold.hovered || lock.hovered
        spacing: 8
        Layout.fillWidth: true
        // Off, the row is drawn in the faint colour, still legible (not faded).
        enabled: Station.mic.on

        HoldToTalk { id: hold; Layout.fillWidth: true }
        PanelButton {
            id: lock
            text: Station.mic.talkOn ? "Stop talking" : "Keep talking without holding"
            tip: text
            implicitWidth: 34
            implicitHeight: 36
            onClicked: Station.mic.setTalkOn(!Station.mic.talkOn)
            contentItem: Item {
                Glyph {
                    anchors.centerIn: parent
                    icon: Station.mic.talkOn ? "lock" : "lock-open"
                    size: 14
                    color: !lock.enabled ? Lantern.faint : Station.mic.talkOn ? Lantern.pink : Lantern.dim
                }
            }
            background: Rectangle {
                radius: 8
                color: Lantern.field
                HoverLift { radius: 8; over: lock.hovered }
            }
        }
        Rectangle { // the voice meter
            implicitWidth: 36
            implicitHeight: 6
            radius: 3
            color: Lantern.meterTrack
            Accessible.role: Accessible.ProgressBar
            Accessible.name: "Voice level"
            Rectangle {
                width: parent.width * Math.max(0, Math.min(1, Station.mic.on ? Station.mic.voiceLevel : 0))
                height: parent.height
                radius: 3
                gradient: Gradient {
                    orientation: Gradient.Horizontal
                    GradientStop { position: 0; color: Lantern.pink }
                    GradientStop { position: 1; color: "#FF9DBB" }
                }
            }
        }
        // The key's name stays on one line.
        TextMetrics { id: keyName; font.pixelSize: 11; text: Station.mic.hotKey }
        Text {
            text: Station.mic.talking ? "music dips" : Station.mic.hotKeyOK ? "or hold " + Station.mic.hotKey : "your voice"
            textFormat: Text.PlainText // the key's name may come from the desktop's portal
            font.pixelSize: 11
            color: Lantern.faint
            wrapMode: Text.WordWrap
            Layout.preferredWidth: Math.max(72, Math.ceil(keyName.advanceWidth) + 1)
        }
    }
}
