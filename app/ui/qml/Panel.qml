import QtQuick
import QtQuick.Controls
import Lantern

// The panel: the who-can-listen sheet, the on-air screen or the off-air
// screen, as PanelState decides.
Rectangle {
    id: panel
    signal closeRequested()

    // The tallest the panel may be: what its screen has room for. A screen
    // that needs more scrolls its middle.
    property real maximumHeight: 100000
    width: 356
    height: implicitHeight
    implicitHeight: screen.height + 32
    color: Lantern.ground
    palette.window: Lantern.ground
    palette.windowText: Lantern.text
    palette.text: Lantern.text
    palette.base: Lantern.card
    palette.button: Lantern.card
    palette.buttonText: Lantern.text
    palette.highlight: Lantern.pink
    palette.highlightedText: Lantern.ink
    palette.toolTipBase: "#26272F"
    palette.toolTipText: Lantern.text
    palette.mid: Lantern.line
    palette.dark: Lantern.line
    Accessible.role: Accessible.Pane
    Accessible.name: "Lantern FM"

    PanelState { id: panelState; objectName: "panelState" }

    Loader {
        id: screen
        x: 16
        y: 16
        width: parent.width - 32
        height: Math.min(implicitHeight, panel.maximumHeight - 32)
        focus: true
        sourceComponent: panelState.screen === PanelState.Sheet ? sheet
                       : panelState.screen === PanelState.About ? about
                       : panelState.screen === PanelState.Relay ? relay
                       : panelState.screen === PanelState.OnAir ? onAir : offAir
    }

    Component {
        id: offAir
        OffAirView {
            onGoOnAir: panelState.goOnAir()
            onChange: panelState.change()
            onAbout: panelState.about()
            onRelay: panelState.relay()
        }
    }
    Component {
        id: onAir
        OnAirView {
            onChange: panelState.change()
            onAbout: panelState.about()
            onRelay: panelState.relay()
        }
    }
    Component {
        id: relay
        RelayView { onBack: panelState.back() }
    }
    Component {
        id: about
        AboutView { onBack: panelState.back() }
    }
    Component {
        id: sheet
        WhoCanListen {
            firstTime: panelState.firstRunAsked
            onDone: goOnAir => panelState.sheetDone(goOnAir)
            onCancel: panelState.sheetCancelled()
        }
    }

    // An edge against any desktop, light ones too.
    Rectangle {
        anchors.fill: parent
        color: "transparent"
        border.color: "#3A3B47"
        border.width: 1
        z: 100
    }

    Shortcut {
        sequence: "Escape"
        onActivated: panel.closeRequested()
    }
    Shortcut {
        sequence: "Ctrl+Q"
        context: Qt.ApplicationShortcut
        onActivated: Station.quit()
    }
}
