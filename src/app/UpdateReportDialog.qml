import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vellumcast

// Shows what a check for updates found, while the updater has a report for the user.
Dialog {
    id: dialog

    required property UpdaterManager updaterManager

    objectName: "updateReportDialog"
    anchors.centerIn: Overlay.overlay
    width: 440
    padding: 20
    modal: true
    closePolicy: Popup.CloseOnEscape

    onClosed: updaterManager.dismissReport()

    Connections {
        target: dialog.updaterManager
        function onReportChanged() {
            if (dialog.updaterManager.reportVisible)
                dialog.open()
            else
                dialog.close()
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 12

        RowLayout {
            Layout.fillWidth: true
            spacing: 12

            TintedImage {
                Layout.preferredWidth: 40
                Layout.preferredHeight: 40
                source: "images/vellumcastlogo.svg"
                color: Theme.accent
            }

            Label {
                Layout.fillWidth: true
                text: dialog.updaterManager.reportTitle
                wrapMode: Text.Wrap
                font.pixelSize: Theme.title2Size - 2
                font.bold: true
            }

            BusyIndicator {
                visible: dialog.updaterManager.outcome === UpdaterManager.Checking
                running: visible
            }
        }

        Label {
            Layout.fillWidth: true
            visible: text.length > 0
            text: dialog.updaterManager.reportText
            wrapMode: Text.Wrap
            color: Theme.label
        }

        ScrollView {
            Layout.fillWidth: true
            Layout.preferredHeight: 150
            visible: dialog.updaterManager.releaseNotes.length > 0
            contentWidth: availableWidth

            TextArea {
                objectName: "releaseNotes"
                readOnly: true
                wrapMode: TextEdit.Wrap
                textFormat: TextEdit.PlainText
                text: dialog.updaterManager.releaseNotes
                background: Rectangle {
                    radius: 6
                    color: Theme.textBackground
                    border.color: Theme.separator
                }
            }
        }
    }

    footer: DialogButtonBox {
        padding: 20
        topPadding: 0

        Button {
            text: "Open Download Page"
            visible: dialog.updaterManager.canOpenDownloadPage
            DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
            onClicked: dialog.updaterManager.openDownloadPage()
        }
        Button {
            text: dialog.updaterManager.canOpenDownloadPage ? "Later" : "OK"
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
        }
    }
}
