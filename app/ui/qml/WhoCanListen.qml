import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Lantern

// Who can listen: the kind of link, the passcode and the station's name,
// handed to the station all at once by the confirm button.
ColumnLayout {
    id: sheet
    property bool firstTime: false
    signal done(bool goOnAir)
    signal cancel()
    spacing: 12

    WhoCanListenModel {
        id: model
        firstTime: sheet.firstTime
        onDone: goOnAir => sheet.done(goOnAir)
    }

    ColumnLayout {
        spacing: 3
        Text {
            text: "Who can listen?"
            font.pixelSize: 17
            font.weight: Font.ExtraBold
            color: Lantern.text
            Accessible.role: Accessible.Heading
        }
        Text { text: "You can change this any time."; font.pixelSize: 12; color: Lantern.dim }
    }

    component Option: PanelButton {
        id: option
        property int mode
        property string detail
        property int current
        property bool available: true
        readonly property bool selected: current === mode
        Layout.fillWidth: true
        radius: 12
        enabled: available
        implicitHeight: optionRow.implicitHeight + 22
        padding: 11
        checkable: false
        Accessible.role: Accessible.RadioButton
        Accessible.checked: selected
        Accessible.description: detail
        contentItem: RowLayout {
            id: optionRow
            spacing: 10
            Rectangle {
                Layout.alignment: Qt.AlignTop
                Layout.topMargin: 1
                implicitWidth: 16
                implicitHeight: 16
                radius: 8
                color: "transparent"
                border.color: option.selected ? Lantern.pink : Lantern.faint
                border.width: option.selected ? 5 : 1.5
            }
            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                Text {
                    text: option.text
                    font.pixelSize: 14
                    font.weight: Font.DemiBold
                    color: option.enabled ? Lantern.text : Lantern.faint
                }
                Text {
                    text: option.detail
                    font.pixelSize: 12
                    color: Lantern.dim
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
        }
        background: Rectangle {
            radius: 12
            color: option.selected ? Qt.rgba(236 / 255, 95 / 255, 142 / 255, 0.08) : "transparent"
            border.color: option.selected ? Lantern.pink : Lantern.line
            border.width: 1
            HoverLift { radius: 12; over: option.hovered && option.enabled }
        }
    }

    Scrolling {
        spacing: 12
        ColumnLayout {
            spacing: 8
            Layout.fillWidth: true
            Option {
                mode: LinkMode.Fresh
                current: model.mode
                available: true
                onClicked: model.mode = mode
                text: "A new link each time"
                detail: "Can't be guessed, isn't tied to you, stops working when you go off air."
            }
            Option {
                mode: LinkMode.Kept
                current: model.mode
                available: model.serviceConfigured
                onClicked: model.mode = mode
                text: "A private link that stays"
                detail: model.keptDetail
            }
            Option {
                mode: LinkMode.Named
                current: model.mode
                available: model.serviceConfigured
                onClicked: model.mode = mode
                text: "A name"
                detail: model.namedDetail
            }
            Option {
                objectName: "ownAddress"
                visible: model.ownHost !== ""
                mode: LinkMode.Own
                current: model.mode
                available: true
                onClicked: model.mode = mode
                text: "My own address (" + model.ownHost + ")"
                detail: "Through your own tunnel: the same link every time, no address service."
            }

            // Without an address service the stable links need one: the user
            // gives its address here, and it is checked before it is used.
            ColumnLayout {
                visible: !model.serviceConfigured
                spacing: 6
                Layout.fillWidth: true
                Pill {
                    objectName: "useService"
                    visible: !serviceRow.visible
                    text: "Use an address service\u2026"
                    onClicked: {
                        serviceRow.visible = true
                        serviceField.forceActiveFocus()
                    }
                }
                RowLayout {
                    id: serviceRow
                    visible: false
                    spacing: 8
                    Layout.fillWidth: true
                    Field {
                        id: serviceField
                        objectName: "serviceAddress"
                        label: "Address service"
                        placeholderText: "https://links.example.org"
                        inputMethodHints: Qt.ImhUrlCharactersOnly
                        Layout.fillWidth: true
                        onAccepted: model.useService(text)
                    }
                    Pill {
                        objectName: "checkService"
                        text: model.checkingService ? "Checking\u2026" : "Use"
                        enabled: !model.checkingService && serviceField.text !== ""
                        onClicked: model.useService(serviceField.text)
                    }
                }
                Text {
                    visible: model.serviceProblem !== ""
                    text: model.serviceProblem
                    textFormat: Text.PlainText
                    font.pixelSize: 11
                    color: Lantern.red
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
        }

        ColumnLayout {
            visible: model.mode === LinkMode.Named
            spacing: 5
            Layout.fillWidth: true
            Field {
                label: "Name"
                placeholderText: "Type a name"
                text: model.name
                onTextEdited: model.name = text
                Layout.fillWidth: true
            }
            Text {
                visible: model.nameHint !== "" || model.warning !== ""
                text: model.warning !== "" ? model.warning : model.nameHint
                font.pixelSize: 11
                color: model.warning !== "" ? Lantern.red : Lantern.dim
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }

        RowLayout {
            spacing: 10
            Layout.fillWidth: true
            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true
                Text { text: "Passcode"; font.pixelSize: 13; font.weight: Font.DemiBold; color: Lantern.text }
                Text {
                    text: "Friends' links carry it; nobody else gets in."
                    font.pixelSize: 11
                    color: Lantern.dim
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
            Toggle {
                objectName: "usePasscode"
                tip: "Passcode"
                checked: model.usePasscode
                onToggled: model.usePasscode = checked
            }
        }

        RowLayout {
            visible: model.usePasscode
            spacing: 8
            Layout.fillWidth: true
            Field {
                objectName: "passcode"
                label: "Passcode"
                placeholderText: "Type your own"
                text: model.passcode
                onTextEdited: model.passcode = text
                Layout.fillWidth: true
            }
            Pill {
                objectName: "makeOneUp"
                text: "Make One Up"
                onClicked: model.passcode = model.madeUp()
            }
        }
        Text {
            visible: model.keyringHint !== ""
            text: model.keyringHint
            font.pixelSize: 11
            color: Lantern.dim
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        Text {
            objectName: "relayNote"
            visible: model.relayNote !== ""
            text: model.relayNote
            font.pixelSize: 11
            color: Lantern.red
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }

        RowLayout {
            spacing: 10
            Layout.fillWidth: true
            Text {
                text: "Station name"
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: Lantern.text
                Layout.fillWidth: true
            }
            Field {
                label: "Name"
                placeholderText: "Lantern FM"
                text: model.stationName
                onTextEdited: model.stationName = text
                Layout.preferredWidth: 170
            }
        }

        SourceMenu {
            visible: sheet.firstTime
            Layout.fillWidth: true
        }

        Text {
            objectName: "notice"
            visible: model.notice !== ""
            text: model.notice
            font.pixelSize: 12
            color: Lantern.text
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        Text {
            visible: model.problem !== ""
            text: model.problem
            font.pixelSize: 11
            color: Lantern.red
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }

    RowLayout {
        spacing: 8
        Layout.fillWidth: true
        Layout.topMargin: 2
        PanelButton {
            id: cancelButton
            text: "Cancel"
            implicitHeight: 44
            leftPadding: 10
            rightPadding: 10
            onClicked: sheet.cancel()
            contentItem: Text {
                text: cancelButton.text
                font.pixelSize: 13
                font.weight: Font.DemiBold
                color: Lantern.dim
                verticalAlignment: Text.AlignVCenter
            }
            background: HoverLift { radius: 8; over: cancelButton.hovered }
        }
        PanelButton {
            id: confirm
            objectName: "confirm"
            text: model.confirmLabel
            enabled: model.canConfirm
            Layout.fillWidth: true
            implicitHeight: 44
            radius: 22
            onClicked: model.save()
            contentItem: RowLayout {
                spacing: 8
                opacity: confirm.enabled || model.working ? 1 : 0.45
                Item { Layout.fillWidth: true }
                BusyIndicator {
                    visible: model.working
                    running: model.working
                    implicitWidth: 18
                    implicitHeight: 18
                    palette.dark: Lantern.ink
                }
                Text {
                    text: confirm.text
                    font.pixelSize: 16
                    font.bold: true
                    color: Lantern.ink
                }
                Item { Layout.fillWidth: true }
            }
            background: Rectangle {
                radius: height / 2
                color: confirm.down ? Qt.darker(Lantern.pink, 1.12)
                     : confirm.hovered ? Qt.lighter(Lantern.pink, 1.06) : Lantern.pink
                opacity: confirm.enabled || model.working ? 1 : 0.45
            }
        }
    }
    Shortcut {
        sequences: ["Return", "Enter"]
        enabled: model.canConfirm
        onActivated: model.save()
    }
}
