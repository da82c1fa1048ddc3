import QtQuick
import QtQuick.Controls
import Vellumcast

// The video's name, format and perspective.
Column {
    id: form

    required property FileUploaderState uploaderState
    required property bool showPerspective

    // Return in the name field.
    signal submitted()

    spacing: 16

    Label {
        text: "Video Information"
        font.pixelSize: Theme.headlineSize
        font.weight: Font.DemiBold
        color: Theme.label
    }

    Column {
        width: parent.width
        spacing: 6

        Label {
            text: "Video Name"
            font.pixelSize: Theme.subheadlineSize
            color: Theme.secondaryLabel
        }

        TextField {
            id: nameField
            objectName: "videoNameField"

            width: parent.width
            text: form.uploaderState.videoName
            padding: 10
            font.pixelSize: Theme.bodySize
            color: enabled ? Theme.label : Theme.secondaryLabel
            placeholderText: "Enter video name"
            placeholderTextColor: Theme.placeholderText
            selectionColor: Theme.accent
            selectedTextColor: Theme.alternateSelectedControlText
            Accessible.name: "Video Name"

            background: Rectangle {
                radius: 8
                color: Theme.textBackground
                border.width: nameField.activeFocus ? 2 : 1
                border.color: nameField.activeFocus ? Theme.accent : Theme.separator
            }

            onTextEdited: form.uploaderState.videoName = text
            onAccepted: form.submitted()
        }
    }

    Column {
        width: parent.width
        spacing: 6

        Label {
            text: "File Format"
            font.pixelSize: Theme.subheadlineSize
            color: Theme.secondaryLabel
        }

        Column {
            width: parent.width
            spacing: 8

            Repeater {
                model: form.uploaderState.fileFormatOptions

                OptionButton {
                    required property string modelData

                    objectName: "format:" + modelData
                    width: parent.width
                    text: modelData
                    selected: form.uploaderState.selectedFileFormat === modelData
                    isHovered: form.uploaderState.hoverStates[modelData] === true
                    hoverEnabled: true
                    ToolTip.text: modelData
                    ToolTip.visible: hovered
                    ToolTip.delay: 500
                    onHoveredChanged: form.uploaderState.setHoverState(modelData, hovered)
                    onClicked: form.uploaderState.selectFileFormat(modelData)
                }
            }
        }
    }

    Column {
        objectName: "perspectiveBlock"
        width: parent.width
        visible: form.showPerspective
        spacing: 6

        Label {
            text: "Perspective"
            font.pixelSize: Theme.subheadlineSize
            color: Theme.secondaryLabel
        }

        Row {
            width: parent.width

            Repeater {
                model: form.uploaderState.perspectiveOptions

                OptionButton {
                    required property string modelData

                    objectName: "perspective:" + modelData
                    width: parent.width / 3
                    leftPadding: 16
                    rightPadding: 16
                    text: modelData + "°"
                    selected: form.uploaderState.selectedPerspective === modelData
                    onClicked: form.uploaderState.selectedPerspective = modelData
                }
            }
        }
    }
}
