import QtQuick
import QtQuick.Controls
import Vellumcast

// The main video file: an empty drop zone that also opens the file dialog, or the chosen file
// with a button that clears it. The file and the status line belong to the upload screen; the
// picker reports its changes through its signals.
FilePickerArea {
    id: picker

    required property url selectedFile
    readonly property bool chosen: FilePickerRules.isChosen(selectedFile)

    signal selectedFileEdited(url file)
    signal statusMessageEdited(string message)

    implicitWidth: chosen ? chosenRow.implicitWidth + 2 * Theme.defaultPadding : dropZone.implicitWidth
    implicitHeight: chosen ? chosenRow.implicitHeight + 2 * Theme.defaultPadding : 80
    radius: 12
    dropTarget: !chosen

    onFileDropped: file => picker.selectedFileEdited(file)
    onFileChosen: file => {
        if (!FilePickerRules.isChosen(file))
            return
        picker.selectedFileEdited(file)
        picker.statusMessageEdited("Selected: " + FilePickerRules.fileName(file))
    }

    ActionButton {
        id: dropZone
        objectName: "dropZone"

        anchors.fill: parent
        visible: !picker.chosen
        padding: Theme.defaultPadding
        hoverEnabled: true
        focusRingRadius: 12
        Accessible.name: "Drop your file here or click to browse"

        contentItem: Item {
            implicitWidth: zoneRow.implicitWidth
            implicitHeight: zoneRow.implicitHeight

            Row {
                id: zoneRow
                anchors.centerIn: parent
                spacing: 8

                SymbolImage {
                    objectName: "dropZoneSymbol"
                    anchors.verticalCenter: parent.verticalCenter
                    name: "arrow.up.doc.fill"
                    pointSize: 24
                    color: Theme.systemBlue
                    opacity: picker.isHovered ? 1 : 0.8
                }

                Label {
                    anchors.verticalCenter: parent.verticalCenter
                    text: "Drop your file here or click to browse"
                    font.pixelSize: Theme.bodySize
                    color: Theme.secondaryLabel
                }
            }
        }

        background: Rectangle {
            radius: 12
            color: Theme.textBackground
        }

        onClicked: picker.browse()
    }

    Rectangle {
        objectName: "chosenFile"
        anchors.fill: parent
        visible: picker.chosen
        radius: 12
        color: Theme.textBackground

        Row {
            id: chosenRow

            anchors.fill: parent
            anchors.margins: Theme.defaultPadding
            spacing: 8

            SymbolImage {
                id: documentSymbol
                anchors.verticalCenter: parent.verticalCenter
                name: "doc.fill"
                pointSize: 22
                color: Theme.systemBlue
            }

            Column {
                anchors.verticalCenter: parent.verticalCenter
                width: chosenRow.width - documentSymbol.width - clearButton.width - 2 * chosenRow.spacing

                Label {
                    objectName: "chosenFileName"
                    width: parent.width
                    text: FilePickerRules.fileName(picker.selectedFile)
                    font.pixelSize: Theme.headlineSize
                    font.weight: Font.DemiBold
                    color: Theme.label
                    elide: Text.ElideMiddle
                    maximumLineCount: 1
                }

                Label {
                    objectName: "chosenFileKind"
                    text: FilePickerRules.kindDescription(picker.selectedFile)
                    font.pixelSize: Theme.captionSize
                    color: Theme.secondaryLabel
                }
            }

            ClearFileButton {
                id: clearButton
                objectName: "clearFileButton"
                anchors.verticalCenter: parent.verticalCenter
                color: Theme.tertiaryLabel
                Accessible.name: "Remove " + FilePickerRules.fileName(picker.selectedFile)
                onClicked: {
                    picker.selectedFileEdited("")
                    picker.statusMessageEdited("Ready to upload")
                }
            }
        }
    }
}
