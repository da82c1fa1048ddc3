import QtQuick
import QtQuick.Controls
import Vellumcast

// The upload's running log, kept scrolled to its newest line; while details are hidden only a
// note that they are.
Item {
    id: logView

    required property string logs
    required property bool showDetails
    property real detailsShown: showDetails ? 1 : 0

    Behavior on detailsShown { EaseInOut { duration: 350 } }

    Flickable {
        id: flickable
        objectName: "logFlickable"

        anchors.fill: parent
        visible: logView.detailsShown > 0
        opacity: logView.detailsShown
        clip: true
        contentWidth: width
        contentHeight: logText.height
        boundsBehavior: Flickable.StopAtBounds

        ScrollBar.vertical: ScrollBar {}

        TextEdit {
            id: logText
            objectName: "logText"

            width: flickable.width
            padding: 5
            text: logView.logs
            textFormat: TextEdit.PlainText
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.WrapAtWordBoundaryOrAnywhere
            font.family: "monospace"
            font.pixelSize: Theme.captionSize
            color: Theme.label
            selectionColor: Theme.accent
            selectedTextColor: Theme.alternateSelectedControlText
            Accessible.role: Accessible.StaticText
            Accessible.name: "Upload log"

            Rectangle {
                z: -1
                anchors.fill: parent
                radius: 12
                color: Theme.textBackground
            }
        }
    }

    Rectangle {
        objectName: "logHidden"

        anchors.fill: parent
        visible: opacity > 0
        opacity: 1 - logView.detailsShown
        radius: 12
        color: Qt.rgba(Theme.textBackground.r, Theme.textBackground.g, Theme.textBackground.b, 0.5)

        Label {
            anchors.fill: parent
            anchors.margins: Theme.defaultPadding
            text: "Log details hidden"
            font.pixelSize: Theme.bodySize
            color: Theme.secondaryLabel
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
    }

    // Without animation, once the new text is laid out.
    function scrollToEnd() {
        flickable.contentY = Math.max(0, flickable.contentHeight - flickable.height)
    }

    onLogsChanged: Qt.callLater(scrollToEnd)
}
