import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// What plays: the source menu, the cover, the title and artist, and the
// player's controls.
Card {
    id: card
    readonly property var track: Station.now
    readonly property var source: Station.source
    readonly property bool application: !!source && !source.whole

    SourceMenu { width: parent.width }

    RowLayout {
        width: parent.width
        spacing: 12

        Item {
            implicitWidth: 56
            implicitHeight: 56
            Rectangle {
                anchors.fill: parent
                radius: 8
                color: Lantern.line
            }
            Image {
                id: cover
                anchors.fill: parent
                visible: Station.cover.present && status === Image.Ready
                source: Station.cover.present ? "image://lantern/cover/" + Station.cover.version : ""
                sourceSize: Qt.size(112, 112)
                fillMode: Image.PreserveAspectCrop
                cache: false
                smooth: true
            }
            Glyph {
                anchors.centerIn: parent
                visible: !cover.visible
                themeName: card.source ? card.source.icon : ""
                icon: card.source && card.source.icon !== "" ? "" : "music"
                size: 36
                color: card.source && card.source.icon !== "" ? "transparent" : Lantern.faint
            }
            // Rounds the cover's corners: a ring in the card's colour whose
            // inner edge is the rounded square.
            Rectangle {
                anchors.fill: parent
                anchors.margins: -4
                radius: 12
                color: "transparent"
                border.width: 4
                border.color: Lantern.card
            }
        }

        ColumnLayout {
            spacing: 2
            Layout.fillWidth: true
            Text {
                text: PanelText.title(card.track, card.source, Station.playerFound, Station.onAir)
                textFormat: Text.PlainText // a player's title is never markup (a web page sets it)
                font.pixelSize: 14
                font.weight: Font.DemiBold
                color: Lantern.text
                wrapMode: Text.Wrap
                maximumLineCount: 2
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Text {
                readonly property string words: PanelText.line(card.track)
                visible: words !== ""
                text: words
                textFormat: Text.PlainText
                font.pixelSize: 12
                color: Lantern.dim
                elide: Text.ElideRight
                Layout.fillWidth: true
            }
            Text {
                visible: Station.mic.talking
                text: "\u266A dipped while you talk"
                font.pixelSize: 11
                color: Lantern.faint
            }
        }

        PanelButton {
            id: open
            visible: !card.track && card.application
            text: "Open"
            onClicked: PanelText.openApplication(card.source.id)
            contentItem: Text { text: open.text; font.pixelSize: 12; color: Lantern.pink }
            background: Item {}
        }

        RowLayout {
            visible: !!card.track && Station.playerFound
            spacing: 2
            PanelButton {
                id: previous
                text: "Previous"
                implicitWidth: 26
                implicitHeight: 30
                onClicked: Station.sendToPlayer(Station.Previous)
                contentItem: Item { Glyph { anchors.centerIn: parent; icon: "previous"; themeName: "media-skip-backward"; size: 14; color: Lantern.dim } }
                background: HoverLift { radius: 8; over: previous.hovered }
            }
            PanelButton {
                id: playPause
                readonly property bool playing: card.track ? card.track.playing : false
                text: playing ? "Pause" : "Play"
                tip: text
                implicitWidth: 34
                implicitHeight: 34
                radius: 17
                onClicked: Station.sendToPlayer(Station.PlayPause)
                contentItem: Item { Glyph { anchors.centerIn: parent; icon: playPause.playing ? "pause" : "play"; size: 30; color: Lantern.text } }
                background: Item {}
            }
            PanelButton {
                id: next
                text: "Next"
                implicitWidth: 26
                implicitHeight: 30
                onClicked: Station.sendToPlayer(Station.Next)
                contentItem: Item { Glyph { anchors.centerIn: parent; icon: "next"; themeName: "media-skip-forward"; size: 14; color: Lantern.dim } }
                background: HoverLift { radius: 8; over: next.hovered }
            }
        }
    }
}
