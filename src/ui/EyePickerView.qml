import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import Vellumcast

// One eye's file of a separate-eye video. A file dropped anywhere on it replaces the chosen
// one; a click on the empty area opens the file dialog. The file belongs to the upload screen;
// the picker reports its changes through fileURLEdited.
Column {
    id: picker

    required property string label
    required property url fileURL
    readonly property bool chosen: FilePickerRules.isChosen(fileURL)
    // The pointer, or a drag carrying a file, is over the picker area.
    readonly property bool isHovered: hover.hovered || dropArea.containsDrag

    signal fileURLEdited(url file)

    spacing: 6

    Label {
        text: picker.label
        font.pixelSize: Theme.subheadlineSize
        color: Theme.secondaryLabel
    }

    Item {
        id: area
        objectName: "eyePickerArea"

        width: parent.width
        implicitHeight: picker.chosen ? chosenRow.implicitHeight + 2 * Theme.defaultPadding : 60
        height: implicitHeight

        HoverHandler {
            id: hover
        }

        AbstractButton {
            id: browseButton
            objectName: "browseButton"

            anchors.fill: parent
            visible: !picker.chosen
            hoverEnabled: true
            Accessible.name: picker.label + ": drop or click to browse"

            contentItem: Label {
                text: "Drop or click to browse"
                font.pixelSize: Theme.bodySize
                color: Theme.label
                horizontalAlignment: Text.AlignHCenter
                verticalAlignment: Text.AlignVCenter
            }

            background: Rectangle {
                radius: 8
                color: Theme.textBackground

                FocusRing {
                    controlRadius: 8
                    visible: browseButton.visualFocus
                }
            }

            onClicked: dialog.open()
        }

        Row {
            id: chosenRow

            anchors.fill: parent
            anchors.margins: Theme.defaultPadding
            visible: picker.chosen
            spacing: 8

            SymbolImage {
                id: documentSymbol
                anchors.verticalCenter: parent.verticalCenter
                name: "doc.fill"
                pointSize: 17
                color: Theme.label
            }

            Label {
                objectName: "chosenFileName"
                anchors.verticalCenter: parent.verticalCenter
                width: chosenRow.width - documentSymbol.width - clearButton.width - 2 * chosenRow.spacing
                text: FilePickerRules.fileName(picker.fileURL)
                font.pixelSize: Theme.bodySize
                color: Theme.label
                elide: Text.ElideMiddle
                maximumLineCount: 1
            }

            ClearFileButton {
                id: clearButton
                objectName: "clearFileButton"
                anchors.verticalCenter: parent.verticalCenter
                Accessible.name: "Remove " + picker.label
                onClicked: picker.fileURLEdited("")
            }
        }

        RoundedOutline {
            objectName: "eyePickerOutline"
            anchors.fill: parent
            radius: 8
            lineWidth: 2
            color: picker.isHovered ? Theme.systemBlue : Theme.separator
            dashed: !picker.isHovered
        }

        DropArea {
            id: dropArea
            anchors.fill: parent
            onEntered: drag => drag.accepted = FilePickerRules.isChosen(FilePickerRules.droppedFile(drag.urls))
            onDropped: drop => {
                drop.accept(Qt.CopyAction)
                picker.fileURLEdited(FilePickerRules.droppedFile(drop.urls))
            }
        }
    }

    FileDialog {
        id: dialog
        objectName: "fileDialog"
        // Known only once the picker is in a window, which may be after the dialog is made.
        parentWindow: picker.Window.window
        fileMode: FileDialog.OpenFile
        onAccepted: picker.fileURLEdited(selectedFile)
    }
}
