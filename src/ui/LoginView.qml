import QtQuick
import Vellumcast

// The sign-in screen, shown while the session has no key.
Item {
    id: root

    required property SessionManager sessionManager

    objectName: "loginView"
    implicitWidth: card.implicitWidth
    implicitHeight: card.implicitHeight

    LoginState {
        id: loginState
        sessionManager: root.sessionManager
    }

    VisualEffectView {
        anchors.fill: parent
    }

    KeyFormCard {
        id: card
        anchors.centerIn: parent
        focus: true
        form: loginState
        title: "Welcome"
        primaryText: "Set API Key"
        notice: loginState.notice
        onCommit: loginState.submitApiKey()
    }

    Component.onCompleted: loginState.runEntranceAnimation()
}
