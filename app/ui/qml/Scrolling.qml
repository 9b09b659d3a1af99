import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The middle of a screen: its full height when the panel has room, and
// scrolling when the panel is shorter than the screen needs (a small
// screen at a large scale), so that what is above and below stays in reach.
Flickable {
    id: scroller
    default property alias content: column.data
    property alias spacing: column.spacing
    Layout.fillWidth: true
    Layout.fillHeight: true
    Layout.minimumHeight: Math.min(contentHeight, 96)
    implicitHeight: contentHeight
    contentHeight: column.implicitHeight
    contentWidth: width
    clip: contentHeight > height
    interactive: contentHeight > height
    boundsBehavior: Flickable.StopAtBounds
    ScrollBar.vertical: ScrollBar {
        policy: scroller.interactive ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
        padding: 0
        contentItem: Rectangle {
            implicitWidth: 5
            radius: 2.5
            color: Lantern.faint
            opacity: 0.6
        }
    }
    // A control reached with Tab comes into view.
    function reveal(item) {
        const at = item.mapToItem(column, 0, 0)
        if (at.y < contentY) contentY = at.y
        else if (at.y + item.height > contentY + height)
            contentY = Math.min(contentHeight - height, at.y + item.height - height)
    }
    Connections {
        target: scroller.Window.window
        function onActiveFocusItemChanged() {
            const item = scroller.Window.activeFocusItem
            if (item && scroller.interactive && column.contains(column.mapFromItem(item, 0, 0)))
                scroller.reveal(item)
        }
    }

    ColumnLayout {
        id: column
        width: scroller.width - (scroller.interactive ? 10 : 0)
        spacing: 14
    }
}
