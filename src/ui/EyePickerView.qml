import QtQuick
import QtQuick.Controls
import Vellumcast

// One eye's file of a separate-eye video. A file dropped anywhere on it replaces the chosen
// one; a click on the empty area opens the file dialog. The file belongs to the upload screen;
// the picker reports its changes through fileURLEdited.
Column {
    id: picker

    required property string label
    required property url fileURL
    readonly property bool chosen: FilePickerRules.isChosen(fileURL)
    readonly property bool isHovered: area.isHovered

    signal fileURLEdited(url file)

    spacing: 6

    Label {
        text: picker.label
        font.pixelSize: Theme.subheadlineSize
        color: Theme.secondaryLabel
    }

    FilePickerArea {
        id: area
        objectName: "eyePickerArea"

        width: parent.width
        implicitHeight: picker.chosen ? chosenRow.implicitHeight + 2 * Theme.defaultPadding : 60
        height: implicitHeight
        radius: 8

        onFileDropped: file => picker.fileURLEdited(file)
        onFileChosen: file => picker.fileURLEdited(file)

        ActionButton {
            id: browseButton
            objectName: "browseButton"

            anchors.fill: parent
            visible: !picker.chosen
            hoverEnabled: true
            focusRingRadius: 8
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
            }

            onClicked: area.browse()
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
    }
}
