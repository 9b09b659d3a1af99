import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// What goes on air: the chosen source, and a menu of the sources to choose
// from, the ones making sound marked.
SelectRow {
    id: row
    readonly property bool chosen: Station.source !== undefined && Station.source !== null
    text: chosen ? "Plays from " + Station.source.name : "Choose what plays"
    tip: "What goes on air"
    popupOpen: menu.visible
    onClicked: menu.popup(row, 0, row.height + 4)

    Glyph {
        visible: row.chosen && Station.source.icon !== ""
        themeName: row.chosen ? Station.source.icon : ""
        size: 20
        color: "transparent"
    }
    Text {
        text: row.text
        textFormat: Text.PlainText
        font.pixelSize: 13
        color: Lantern.text
        elide: Text.ElideRight
        Layout.fillWidth: true
    }
    Glyph {
        id: wave
        visible: row.chosen && PanelText.sounding(Station.source.id, Station.sources.sounding)
        icon: "waveform"
        size: 12
        color: Lantern.pink
        HoverHandler { id: waveHover }
        ToolTip.visible: waveHover.hovered
        ToolTip.text: "Making sound now"
    }

    PanelMenu {
        id: menu
        objectName: "sourceMenu"
        width: row.width
        Instantiator {
            model: Station.sources.list
            delegate: PanelMenuItem {
                required property var modelData
                checkable: true
                checked: row.chosen && modelData.id === Station.source.id
                iconName: modelData.icon
                text: modelData.name + (PanelText.sounding(modelData.id, Station.sources.sounding)
                                        ? "  \u00B7  making sound" : "")
                // Turning the chosen one off does nothing.
                onTriggered: {
                    if (row.chosen && modelData.id === Station.source.id)
                        checked = true
                    else
                        Station.choose(modelData.id)
                }
            }
            onObjectAdded: (index, item) => menu.insertItem(index, item)
            onObjectRemoved: (index, item) => menu.removeItem(item)
        }
    }
}
