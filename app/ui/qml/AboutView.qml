import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// About Lantern FM, in the panel's own look: the version, what it is, its
// website, where to write, its licence.
ColumnLayout {
    id: about
    signal back()
    spacing: 14

    RowLayout {
        spacing: 12
        Image {
            source: "qrc:/lantern-fm/icon.svg"
            sourceSize: Qt.size(48, 48)
            Layout.preferredWidth: 48
            Layout.preferredHeight: 48
            Accessible.ignored: true
        }
        ColumnLayout {
            spacing: 2
            Text {
                text: "Lantern FM"
                font.pixelSize: 17
                font.weight: Font.ExtraBold
                color: Lantern.text
                Accessible.role: Accessible.Heading
            }
            Text { text: "Version " + PanelText.version; font.pixelSize: 12; color: Lantern.dim }
        }
    }

    Text {
        text: "Your computer as a radio station: friends open your link and hear what you play."
        font.pixelSize: 13
        color: Lantern.text
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }

    Card {
        Layout.fillWidth: true
        Repeater {
            model: [
                { label: "Website", text: PanelText.website.replace(/^https?:\/\//, ""), link: PanelText.website },
                { label: "Support", text: PanelText.supportEmail, link: "mailto:" + PanelText.supportEmail },
                { label: "Licence", text: "MIT License", link: "" }
            ]
            delegate: RowLayout {
                required property var modelData
                width: parent.width
                spacing: 10
                Text {
                    text: modelData.label
                    font.pixelSize: 12
                    color: Lantern.dim
                    Layout.preferredWidth: 64
                }
                Text {
                    text: modelData.link === "" ? modelData.text
                        : "<a href=\"" + modelData.link + "\">" + modelData.text + "</a>"
                    textFormat: modelData.link === "" ? Text.PlainText : Text.StyledText
                    linkColor: Lantern.pink
                    font.pixelSize: 12
                    color: Lantern.text
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                    onLinkActivated: link => Qt.openUrlExternally(link)
                    HoverHandler { cursorShape: parent.hoveredLink ? Qt.PointingHandCursor : Qt.ArrowCursor }
                }
            }
        }
    }

    Text {
        text: "\u00A9 Brindle"
        font.pixelSize: 11
        color: Lantern.faint
    }

    PanelButton {
        id: backButton
        objectName: "aboutBack"
        text: "Back"
        focus: true
        Layout.fillWidth: true
        implicitHeight: 36
        radius: 18
        onClicked: about.back()
        contentItem: Text {
            text: backButton.text
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
            HoverLift { radius: parent.radius; over: backButton.hovered }
        }
    }
}
