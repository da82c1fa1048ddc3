import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vellumcast

// The upload screen: the header, the form in the left card, the status and log in the right
// card, and the overlay after a successful upload. Everything it shows and does belongs to
// its FileUploaderState.
Item {
    id: root

    required property SessionManager sessionManager
    required property AppManager appManager
    // A screen made by the shell talks to the built-in service; tests hand in their own state.
    property FileUploaderState uploaderState: FileUploaderState {
        sessionManager: root.sessionManager
        appManager: root.appManager
    }

    readonly property string separateFormat: "Separate"
    readonly property string immersiveFormat: "Apple Immersive Video (.aivu or ProRes)"
    readonly property bool isSeparate: uploaderState.selectedFileFormat === separateFormat
    readonly property bool isImmersive: uploaderState.selectedFileFormat === immersiveFormat
    readonly property string sideFileSuffix: uploaderState.requiresAIMEAndFCPXML ? " (Required)" : " (Optional)"

    // Follows showDetails on the header's spring; the video information slides with it.
    property real detailsReveal: uploaderState.showDetails ? 1 : 0

    objectName: "fileUploaderView"
    implicitWidth: 900
    implicitHeight: 600

    Behavior on detailsReveal { Spring { response: 0.4; dampingFraction: 0.825 } }

    Rectangle {
        anchors.fill: parent
        color: Theme.windowBackground
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        UploaderHeaderView {
            Layout.fillWidth: true
            isHeaderHovered: root.uploaderState.isHeaderHovered
            showDetails: root.uploaderState.showDetails
            sessionManager: root.sessionManager
            appManager: root.appManager
            onHeaderHoverChanged: hovered => root.uploaderState.isHeaderHovered = hovered
            onToggleDetails: root.uploaderState.showDetails = !root.uploaderState.showDetails
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.topMargin: Theme.defaultPadding
            Layout.bottomMargin: Theme.defaultPadding
            spacing: 5

            Item {
                id: leftCard
                objectName: "formCard"

                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.preferredWidth: 1
                Layout.leftMargin: Theme.defaultPadding
                Layout.rightMargin: Theme.defaultPadding

                CardBackground {
                    anchors.fill: parent
                }

                ScrollView {
                    id: formScroll
                    objectName: "formScroll"

                    anchors.fill: parent
                    enabled: !root.uploaderState.isUploading
                    contentWidth: availableWidth
                    // The outer margins, and the upload button's margin below it.
                    contentHeight: form.implicitHeight + 2 * Theme.defaultPadding + 20
                    clip: true

                    Column {
                        id: form

                        x: Theme.defaultPadding
                        y: Theme.defaultPadding
                        width: formScroll.availableWidth - 2 * Theme.defaultPadding

                        Column {
                            objectName: "filePickers"
                            width: parent.width
                            spacing: 12

                            EyePickerView {
                                objectName: "leftEyePicker"
                                width: parent.width
                                visible: root.isSeparate
                                label: "Left Eye File"
                                fileURL: root.uploaderState.selectedFileLeft
                                onFileURLEdited: file => root.uploaderState.selectedFileLeft = file
                            }

                            EyePickerView {
                                objectName: "rightEyePicker"
                                width: parent.width
                                visible: root.isSeparate
                                label: "Right Eye File"
                                fileURL: root.uploaderState.selectedFileRight
                                onFileURLEdited: file => root.uploaderState.selectedFileRight = file
                            }

                            SingleFilePickerView {
                                objectName: "singleFilePicker"
                                width: parent.width
                                visible: !root.isSeparate
                                selectedFile: root.uploaderState.selectedFile
                                onSelectedFileEdited: file => root.uploaderState.selectedFile = file
                                onStatusMessageEdited: message => root.uploaderState.statusMessage = message
                            }

                            FilePickerView {
                                objectName: "aimePicker"
                                width: parent.width
                                visible: root.isImmersive
                                label: "AIME File" + root.sideFileSuffix
                                fileURL: root.uploaderState.selectedAIMEFile
                                onFileURLEdited: file => root.uploaderState.selectedAIMEFile = file
                            }

                            FilePickerView {
                                objectName: "fcpxmlPicker"
                                width: parent.width
                                visible: root.isImmersive
                                label: "FCPXML Zip" + root.sideFileSuffix
                                fileURL: root.uploaderState.selectedFCPXMLZip
                                onFileURLEdited: file => root.uploaderState.selectedFCPXMLZip = file
                            }

                        }

                        // The video information, sliding in from the leading edge; it carries the
                        // spacing above it so that nothing jumps as it comes and goes.
                        Item {
                            objectName: "videoInformationSlot"
                            width: parent.width
                            height: root.detailsReveal * (20 + videoInformation.implicitHeight)
                            visible: root.detailsReveal > 0.001
                            clip: true

                            VideoInformationForm {
                                id: videoInformation
                                objectName: "videoInformation"

                                y: 20
                                x: -(1 - root.detailsReveal) * (width + Theme.defaultPadding)
                                width: parent.width
                                uploaderState: root.uploaderState
                                showPerspective: !root.isImmersive
                                onSubmitted: {
                                    if (!root.uploaderState.uploadDisabled)
                                        root.uploaderState.startUpload()
                                }
                            }
                        }

                        Item {
                            width: 1
                            height: 20
                        }

                        UploadButton {
                            objectName: "uploadButton"
                            width: parent.width
                            isUploading: root.uploaderState.isUploading
                            buttonScale: root.uploaderState.uploadButtonScale
                            enabled: !root.uploaderState.uploadDisabled
                            onClicked: root.uploaderState.startUpload()
                            // A screen reader can press it while it is greyed out: it then hears
                            // what the form still needs.
                            Accessible.onPressAction: {
                                if (!enabled && !root.uploaderState.isUploading)
                                    root.uploaderState.startUpload()
                            }
                        }

                        ResumeRow {
                            objectName: "resumeRow"
                            width: parent.width
                            uploaderState: root.uploaderState
                        }
                    }
                }
            }

            Rectangle {
                objectName: "divider"
                Layout.preferredWidth: 1
                Layout.fillHeight: true
                Layout.topMargin: Theme.defaultPadding
                Layout.bottomMargin: Theme.defaultPadding
                color: Theme.separator
            }

            Item {
                objectName: "statusCard"

                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.preferredWidth: 1
                Layout.leftMargin: Theme.defaultPadding
                Layout.rightMargin: Theme.defaultPadding

                CardBackground {
                    anchors.fill: parent
                }

                ColumnLayout {
                    anchors.fill: parent
                    anchors.margins: Theme.defaultPadding
                    spacing: 8

                    UploadStatusRow {
                        Layout.fillWidth: true
                        Layout.minimumHeight: 18
                        isUploading: root.uploaderState.isUploading
                        statusMessage: root.uploaderState.statusMessage
                        progress: root.uploaderState.progress
                        transferSpeedText: root.uploaderState.transferSpeedText
                        remainingTimeText: root.uploaderState.remainingTimeText
                        onCancelClicked: root.uploaderState.cancelUpload()
                    }

                    UploadLogView {
                        Layout.fillWidth: true
                        Layout.fillHeight: true
                        logs: root.uploaderState.logs
                        showDetails: root.uploaderState.showDetails
                    }
                }
            }
        }
    }

    SuccessOverlay {
        objectName: "successOverlay"
        anchors.fill: parent
        shown: root.uploaderState.showSuccessAnimation
    }
}
