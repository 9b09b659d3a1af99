import QtQuick
import QtQuick.Controls
import Lantern

// Talk while held; with talking locked on, a press unlocks it.
PanelButton {
    id: button
    readonly property bool lit: Station.mic.talking || button.pressed
    text: Station.mic.talkOn ? "Talking \u00B7 tap to stop" : Station.mic.talking ? "Talking\u2026" : "Hold to Talk"
    implicitHeight: 34
    radius: 8
    onPressedChanged: PanelText.holdToTalk(pressed)
    // Space held from the keyboard talks as long as it is held.
    Keys.onSpacePressed: event => { if (!event.isAutoRepeat) PanelText.holdToTalk(true) }
    Keys.onReleased: event => {
        if (event.key === Qt.Key_Space && !event.isAutoRepeat) PanelText.holdToTalk(false)
    }
    Component.onDestruction: if (Station.mic.holding) Station.mic.hold(false)
    contentItem: Text {
        text: button.text
        font.pixelSize: 13
        font.weight: Font.DemiBold
        color: button.lit ? Lantern.ink : button.enabled ? Lantern.text : Lantern.faint
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }
    background: Rectangle {
        radius: 8
        color: button.lit ? Lantern.pink : button.enabled ? Lantern.line : Lantern.field
        HoverLift { radius: 8; over: button.hovered && !button.lit }
    }
}
