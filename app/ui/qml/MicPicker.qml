import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// Which microphone: the system default or one of the inputs.
SelectRow {
    id: picker
    text: PanelText.micName(Station.mic.device, Station.sources.micInputs, Station.sources.defaultInputName)
    tip: "Which microphone"
    popupOpen: menu.visible
    onClicked: menu.popup(picker, 0, picker.height + 4)

    Glyph {
        icon: Station.mic.on ? "mic-fill" : "mic"
        size: 16
        color: Station.mic.on ? Lantern.pink : Lantern.dim
        Layout.preferredWidth: 20
    }
    Text {
        text: picker.text
        textFormat: Text.PlainText
        font.pixelSize: 13
        color: Lantern.text
        elide: Text.ElideRight
        Layout.fillWidth: true
    }

    PanelMenu {
        id: menu
        objectName: "micMenu"
        PanelMenuItem {
            checkable: true
            checked: Station.mic.device === ""
            text: PanelText.systemDefault(Station.sources.defaultInputName)
            onTriggered: {
                checked = Qt.binding(() => Station.mic.device === "")
                Station.mic.chooseMic("")
            }
        }
        MenuSeparator {
            contentItem: Rectangle { implicitHeight: 1; color: Lantern.line }
        }
        Instantiator {
            model: Station.sources.micInputs
            delegate: PanelMenuItem {
                required property var modelData
                checkable: true
                checked: Station.mic.device === modelData.uid
                text: modelData.name
                onTriggered: {
                    checked = Qt.binding(() => Station.mic.device === modelData.uid)
                    Station.mic.chooseMic(modelData.uid)
                }
            }
            onObjectAdded: (index, item) => menu.insertItem(index + 2, item)
            onObjectRemoved: (index, item) => menu.removeItem(item)
        }
    }
}
