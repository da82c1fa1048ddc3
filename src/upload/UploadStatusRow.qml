import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Vellumcast

// The status line: a dot that pulses while an upload runs, the status text and, during the
// upload, its speed and time left, its progress bar and the button that cancels it.
RowLayout {
    id: row

    required property bool isUploading
    required property string statusMessage
    required property real progress
    required property string transferSpeedText
    required property string remainingTimeText

    signal cancelClicked()

    spacing: 8

    Rectangle {
        id: dot
        objectName: "statusDot"

        // 0 is the resting green, 1 the uploading blue; while uploading it swings between them.
        property real pulse: 0

        Layout.preferredWidth: 8
        Layout.preferredHeight: 8
        radius: 4
        color: Theme.blend(Theme.systemGreen, Theme.systemBlue, pulse)
        opacity: 0.8 + 0.2 * pulse

        SequentialAnimation {
            id: pulsing
            running: row.isUploading
            loops: Animation.Infinite

            EaseInOut { target: dot; property: "pulse"; to: 1; duration: 600 }
            EaseInOut { target: dot; property: "pulse"; to: 0; duration: 600 }
        }

        EaseInOut {
            id: settling
            target: dot
            property: "pulse"
            to: 0
            duration: 350
        }

        Connections {
            target: row
            function onIsUploadingChanged() {
                if (!row.isUploading)
                    settling.restart()
            }
        }
    }

    // A status bar whose name follows the text: Qt 6.4 has no live region, and a Label would
    // insist on being static text.
    Item {
        objectName: "statusLine"
        Layout.fillWidth: true
        implicitHeight: statusText.implicitHeight
        Accessible.role: Accessible.StatusBar
        Accessible.name: row.statusMessage

        Label {
            id: statusText
            objectName: "statusMessage"
            anchors.fill: parent
            text: row.statusMessage
            font.pixelSize: Theme.subheadlineSize
            color: Theme.secondaryLabel
            elide: Text.ElideRight
            Accessible.ignored: true
        }
    }

    Label {
        objectName: "transferEstimate"
        visible: row.isUploading && text.length > 0
        text: [row.transferSpeedText, row.remainingTimeText].filter(part => part.length > 0).join("  ·  ")
        font.pixelSize: Theme.subheadlineSize
        color: Theme.tertiaryLabel
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }

    ProgressTrack {
        id: progressBar
        objectName: "progressBar"

        Layout.preferredWidth: 100
        Layout.preferredHeight: 8
        visible: row.isUploading
        value: row.progress * 100
        Accessible.role: Accessible.ProgressBar
        Accessible.name: "Upload progress"

        Rectangle {
            anchors.fill: parent
            radius: 4
            color: Theme.separator
        }

        Rectangle {
            objectName: "progressFill"
            height: parent.height
            width: progressBar.value / 100 * parent.width
            radius: 4
            color: Theme.systemBlue

            Behavior on width { NumberAnimation { duration: 350 } }
        }
    }

    ActionButton {
        id: cancelButton
        objectName: "cancelButton"

        Layout.leftMargin: 5
        visible: row.isUploading
        padding: 0
        hoverEnabled: true
        focusRingRadius: width / 2
        Accessible.name: "Cancel upload"
        ToolTip.text: "Cancel upload"
        ToolTip.visible: hovered
        ToolTip.delay: 500

        contentItem: SymbolImage {
            name: "xmark.circle.fill"
            pointSize: 15
            color: Theme.systemRed
            opacity: cancelButton.down ? 0.6 : 1
        }

        onClicked: row.cancelClicked()
    }
}
