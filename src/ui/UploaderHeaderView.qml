import QtQuick
import QtQuick.Controls
import Vellumcast

// The bar across the top of the upload screen: the workspace the key belongs to (pressing it
// changes the key, after asking while an upload runs) and the button that shows or hides the upload screen's details. The
// two flags belong to the upload screen; the header reports changes through its signals.
Rectangle {
    id: header

    required property bool isHeaderHovered
    required property bool showDetails
    required property SessionManager sessionManager
    required property AppManager appManager

    signal headerHoverChanged(bool hovered)
    signal toggleDetails()

    objectName: "uploaderHeader"
    implicitHeight: workspaceDisplay.implicitHeight + 2 * Theme.defaultPadding
    color: Theme.controlBackground

    ActionButton {
        id: workspaceDisplay
        objectName: "workspaceDisplay"

        anchors.left: parent.left
        anchors.leftMargin: Theme.defaultPadding
        anchors.verticalCenter: parent.verticalCenter
        padding: Theme.defaultPadding
        hoverEnabled: true
        focusRingRadius: 12
        scale: header.isHeaderHovered ? 1.02 : 1
        Accessible.name: header.sessionManager.hasWorkspace
                         ? "Change API key (workspace " + header.sessionManager.workspaceName + ")"
                         : "Change API key (workspace loading)"

        Behavior on scale { EaseInOut { duration: 200 } }

        background: ShadowedRectangle {
            objectName: "workspacePanel"
            radius: 12
            color: Theme.controlBackground
            shadowColor: Qt.rgba(Theme.systemBlue.r, Theme.systemBlue.g, Theme.systemBlue.b, 0.2)
            shadowRadius: 8
            shadowOffsetY: 2
            shadowOpacity: header.isHeaderHovered ? 1 : 0

            Behavior on shadowOpacity { EaseInOut { duration: 200 } }
        }

        contentItem: Row {
            spacing: 15

            SymbolImage {
                objectName: "cloudSymbol"
                anchors.verticalCenter: parent.verticalCenter
                name: "icloud.and.arrow.up.fill"
                pointSize: 26
                color: Theme.systemBlue
                rotation: header.isHeaderHovered ? 10 : 0

                Behavior on rotation { Spring { response: 0.3; dampingFraction: 0.825 } }
            }

            Label {
                objectName: "workspaceLabel"
                anchors.verticalCenter: parent.verticalCenter
                text: header.sessionManager.hasWorkspace ? header.sessionManager.workspaceName : "Loading..."
                font.pixelSize: Theme.title2Size
                font.weight: Font.DemiBold
                color: header.sessionManager.hasWorkspace ? Theme.label : Theme.secondaryLabel
                opacity: header.sessionManager.hasWorkspace ? 1 : 0.8
            }
        }

        HoverHandler {
            cursorShape: Qt.PointingHandCursor
        }

        onHoveredChanged: header.headerHoverChanged(hovered)
        onClicked: header.appManager.requestKeyChange()
    }

    ActionButton {
        id: detailsButton
        objectName: "detailsButton"

        anchors.right: parent.right
        anchors.rightMargin: Theme.defaultPadding
        anchors.verticalCenter: parent.verticalCenter
        padding: 8
        hoverEnabled: true
        focusRingRadius: height / 2

        ToolTip.text: header.showDetails ? "Hide details" : "Show details"
        Accessible.name: ToolTip.text
        ToolTip.visible: hovered
        ToolTip.delay: 500

        contentItem: SymbolImage {
            objectName: "detailsSymbol"
            name: header.showDetails ? "eye.slash.fill" : "eye.fill"
            pointSize: 15
            color: Theme.systemBlue
            opacity: detailsButton.down ? 0.6 : 1
        }

        // Clipped to a circle: as wide as the button is high.
        background: Item {
            Rectangle {
                anchors.centerIn: parent
                width: Math.min(parent.width, parent.height)
                height: width
                radius: width / 2
                color: Theme.controlBackground
            }
        }

        onClicked: header.toggleDetails()
    }
}
