import QtQuick
import Vellumcast

// The key-change screen, shown instead of the upload screen while the key is being changed.
Item {
    id: root

    required property SessionManager sessionManager
    required property AppManager appManager

    objectName: "changeKey"
    implicitWidth: card.implicitWidth
    implicitHeight: card.implicitHeight

    ChangeKeyState {
        id: changeKeyState
        sessionManager: root.sessionManager
        appManager: root.appManager
    }

    VisualEffectView {
        anchors.fill: parent
    }

    KeyFormCard {
        id: card
        anchors.centerIn: parent
        focus: true
        form: changeKeyState
        title: "Change Workspace"
        primaryText: "Change API Key"
        showsCancel: true
        onCommit: changeKeyState.changeApiKey()
        onCancelClicked: changeKeyState.cancel()
        Keys.onEscapePressed: changeKeyState.cancel()
    }

    Component.onCompleted: changeKeyState.runEntranceAnimation()
}
