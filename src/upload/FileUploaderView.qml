import QtQuick
import Vellumcast

// Holds the upload screen's place in the shell: for now only its header.
Item {
    id: root

    required property SessionManager sessionManager
    required property AppManager appManager
    property bool isHeaderHovered: false
    property bool showDetails: true

    objectName: "fileUploaderView"
    implicitWidth: 900
    implicitHeight: 600

    Rectangle {
        anchors.fill: parent
        color: Theme.windowBackground
    }

    UploaderHeaderView {
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        isHeaderHovered: root.isHeaderHovered
        showDetails: root.showDetails
        sessionManager: root.sessionManager
        appManager: root.appManager
        onHeaderHoverChanged: hovered => root.isHeaderHovered = hovered
        onToggleDetails: root.showDetails = !root.showDetails
    }
}
