import QtQuick
import Vellumcast

// Offered while a run that ended before it was done can go on with the files chosen: Resume
// sends only what storage lacks, Discard forgets it. Upload beside it starts over.
Row {
    id: root

    required property FileUploaderState uploaderState

    spacing: 8
    topPadding: 10
    visible: uploaderState.canResume && !uploaderState.isUploading

    KeyFormButton {
        objectName: "resumeUploadButton"
        width: (root.width - root.spacing) * 0.6
        text: "Resume Upload"
        Accessible.name: text
        Accessible.description: root.uploaderState.resumeDescription
        onClicked: root.uploaderState.resumeUpload()
    }

    KeyFormButton {
        objectName: "discardUploadButton"
        width: (root.width - root.spacing) * 0.4
        prominent: false
        text: "Discard"
        Accessible.name: "Discard the interrupted upload"
        onClicked: root.uploaderState.discardInterruptedUpload()
    }
}
