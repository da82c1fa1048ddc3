import QtQuick
import QtQuick.Controls
import Vellumcast

// The card that celebrates a finished upload over the dimmed window. It fades in and out and
// pops to full size on a spring; while it shows, the screen under it takes no input.
Item {
    id: overlay

    required property bool shown
    property real presence: shown ? 1 : 0
    property real pop: shown ? 1 : 0

    visible: presence > 0
    opacity: presence
    Accessible.role: Accessible.AlertMessage
    Accessible.name: "Upload Complete!"

    Behavior on presence { EaseInOut { duration: 350 } }
    Behavior on pop { Spring { response: 0.6; dampingFraction: 0.825 } }

    Rectangle {
        anchors.fill: parent
        color: "black"
        opacity: 0.3
    }

    MouseArea {
        anchors.fill: parent
        hoverEnabled: true
        acceptedButtons: Qt.AllButtons
        onWheel: wheel => wheel.accepted = true
    }

    Item {
        id: card
        objectName: "successCard"

        anchors.centerIn: parent
        width: content.implicitWidth + 80
        height: content.implicitHeight + 80
        scale: 0.8 + 0.2 * overlay.pop

        ShadowedRectangle {
            anchors.fill: parent
            radius: 20
            color: Qt.rgba(0.15, 0.15, 0.15, 0.9)
            shadowColor: "black"
            shadowOpacity: 0.3
            shadowRadius: 20
            shadowOffsetY: 10
        }

        Column {
            id: content
            anchors.centerIn: parent
            spacing: 8

            Rectangle {
                anchors.horizontalCenter: parent.horizontalCenter
                width: 80
                height: 80
                radius: 40
                color: Theme.systemGreen
                scale: 0.5 + 0.5 * overlay.pop
                opacity: overlay.pop

                SymbolImage {
                    anchors.centerIn: parent
                    name: "checkmark"
                    pointSize: 40
                    color: "white"
                }
            }

            Label {
                anchors.horizontalCenter: parent.horizontalCenter
                topPadding: Theme.defaultPadding
                text: "Upload Complete!"
                font.pixelSize: Theme.title2Size
                font.bold: true
                color: "white"
                opacity: overlay.pop
            }
        }
    }
}
