import QtQuick
import QtQuick.Dialogs
import Vellumcast

// What the file pickers share: the file dialog, and for the main and eye pickers the area a
// file is dropped on, outlined dashed, and solid blue while the pointer or a drag carrying a
// file is over it.
Item {
    id: area

    property real radius: 8
    // Takes dropped files, and shows the outline that says so.
    property bool dropTarget: true
    property alias nameFilters: dialog.nameFilters
    readonly property bool isHovered: hover.hovered || dropArea.containsDrag

    // The first local file of a drop.
    signal fileDropped(url file)
    // The dialog was confirmed; the file may be empty.
    signal fileChosen(url file)

    function browse() {
        dialog.currentFolder = FileDialogFolder.folder
        dialog.open()
    }

    HoverHandler {
        id: hover
    }

    RoundedOutline {
        objectName: "pickerOutline"
        anchors.fill: parent
        z: 1
        visible: area.dropTarget
        radius: area.radius
        lineWidth: 2
        color: area.isHovered ? Theme.systemBlue : Theme.separator
        dashed: !area.isHovered
    }

    DropArea {
        id: dropArea
        anchors.fill: parent
        enabled: area.dropTarget
        onEntered: drag => drag.accepted = FilePickerRules.isChosen(FilePickerRules.droppedFile(drag.urls))
        onDropped: drop => {
            drop.accept(Qt.CopyAction)
            area.fileDropped(FilePickerRules.droppedFile(drop.urls))
        }
    }

    FileDialog {
        id: dialog
        objectName: "fileDialog"
        // Known only once the picker is in a window, which may be after the dialog is made.
        parentWindow: area.Window.window
        fileMode: FileDialog.OpenFile
        onAccepted: {
            FileDialogFolder.remember(selectedFile)
            area.fileChosen(selectedFile)
        }
    }
}
