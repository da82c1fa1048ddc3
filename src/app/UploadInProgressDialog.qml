import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vellumcast

// Asks before a key change or a quit ends the running upload. Escape, or closing it any other
// way, keeps the upload running.
Dialog {
    id: dialog

    required property AppManager appManager

    objectName: "uploadInProgressDialog"
    anchors.centerIn: Overlay.overlay
    width: 420
    padding: 20
    modal: true
    closePolicy: Popup.CloseOnEscape
    title: "Upload in progress"

    onOpened: keepButton.forceActiveFocus(Qt.TabFocusReason)
    onClosed: appManager.declinePendingAction()

    Connections {
        target: dialog.appManager
        function onPendingActionChanged() {
            if (dialog.appManager.pendingAction === AppManager.NoAction)
                dialog.close()
            else
                dialog.open()
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 20

        Label {
            objectName: "uploadInProgressQuestion"
            Layout.fillWidth: true
            text: dialog.appManager.pendingQuestion
            wrapMode: Text.Wrap
            font.pixelSize: Theme.bodySize
            color: Theme.label
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 12

            KeyFormButton {
                id: keepButton
                objectName: "keepUploadingButton"
                Layout.fillWidth: true
                prominent: false
                text: "Keep Uploading"
                onClicked: dialog.appManager.declinePendingAction()
            }

            KeyFormButton {
                objectName: "cancelUploadButton"
                Layout.fillWidth: true
                text: "Cancel Upload"
                onClicked: dialog.appManager.confirmPendingAction()
            }
        }
    }
}
