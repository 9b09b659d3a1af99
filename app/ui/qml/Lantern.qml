pragma Singleton
import QtQuick

// The panel's palette, shared by every screen.
QtObject {
    readonly property color ground: "#17181D"
    readonly property color card: "#212229"
    readonly property color line: "#353642"
    readonly property color field: Qt.rgba(1, 1, 1, 0.06)
    readonly property color faint: "#8B8C97"
    readonly property color dim: "#A5A6B0"
    readonly property color pink: "#EC5F8E"
    readonly property color red: "#E5484D"
    // Near-white text, and near-black text on the accent.
    readonly property color text: "#F2F2F2"
    readonly property color ink: "#0F0F0F"
    readonly property color meterTrack: "#2E2E2E"
    readonly property color hover: Qt.rgba(1, 1, 1, 0.07)
}
