import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vellumcast

// A side file of an immersive video, chosen with the "Choose" button only. A picker whose
// label names FCPXML archives takes zip files only. The file belongs to the upload screen; the
// picker reports its changes through fileURLEdited.
Column {
    id: picker

    required property string label
    required property url fileURL
    readonly property bool chosen: FilePickerRules.isChosen(fileURL)

    signal fileURLEdited(url file)

    spacing: 6

    Label {
        text: picker.label
        font.pixelSize: Theme.subheadlineSize
        color: Theme.secondaryLabel
    }

    FilePickerArea {
        id: area

        width: parent.width
        implicitHeight: row.implicitHeight + 16
        height: implicitHeight
        dropTarget: false
        nameFilters: FilePickerRules.nameFilters(picker.label)

        onFileChosen: file => picker.fileURLEdited(FilePickerRules.confirmedFile(picker.label, file))

        RoundedOutline {
            anchors.fill: parent
            radius: 8
            lineWidth: 1
            color: Theme.separator
        }

        RowLayout {
            id: row

            anchors.fill: parent
            anchors.margins: 8
            spacing: 8

            Label {
                objectName: "chosenFileName"
                Layout.fillWidth: true
                text: picker.chosen ? FilePickerRules.fileName(picker.fileURL) : "No file selected"
                font.pixelSize: Theme.bodySize
                color: picker.chosen ? Theme.label : Theme.secondaryLabel
                elide: Text.ElideMiddle
                maximumLineCount: 1
            }

            KeyFormButton {
                objectName: "chooseButton"
                prominent: false
                topPadding: 6
                bottomPadding: 6
                text: "Choose"
                Accessible.name: "Choose " + picker.label
                onClicked: area.browse()
            }
        }
    }
}
