import QtQuick
import QtQuick.Controls
import Vellumcast

ApplicationWindow {
    id: window

    readonly property SessionManager sessionManager: UploaderApplication.sessionManager
    readonly property AppManager appManager: UploaderApplication.appManager

    title: Qt.application.name
    visible: true
    width: 960
    // Tall enough for the whole form of every format with its details, where the screen has room.
    height: Math.max(minimumHeight, Math.min(Screen.desktopAvailableHeight, 900))
    minimumWidth: screenLoader.item ? screenLoader.item.implicitWidth : 0
    minimumHeight: (screenLoader.item ? screenLoader.item.implicitHeight : 0) + (menuBar ? menuBar.height : 0)
    color: Theme.windowBackground

    // Quitting and closing the window ask first while an upload runs.
    onClosing: close => close.accepted = appManager.requestClose()

    Connections {
        target: window.appManager
        function onCloseConfirmed() {
            window.close()
        }
    }

    menuBar: MenuBar {
        Menu {
            title: Qt.application.name

            MenuItem {
                objectName: "checkForUpdatesItem"
                text: "Check For Updates"
                onTriggered: UploaderApplication.updaterManager.checkForUpdates()
            }
            MenuSeparator {}
            Action {
                text: "Quit"
                // As every Linux desktop has it, also where Qt's key scheme knows no quit key.
                shortcut: "Ctrl+Q"
                onTriggered: window.close()
            }
        }
    }

    // Rebuilt from scratch whenever the screen changes, so each screen starts afresh.
    Loader {
        id: screenLoader
        objectName: "screenLoader"
        anchors.fill: parent
        focus: true
        sourceComponent: {
            switch (UploaderApplication.screen) {
            case UploaderApplication.SignIn:
                return signInScreen
            case UploaderApplication.KeyChange:
                return keyChangeScreen
            default:
                return uploadScreen
            }
        }
    }

    Component {
        id: signInScreen
        LoginView {
            sessionManager: window.sessionManager
        }
    }

    Component {
        id: keyChangeScreen
        ChangeKey {
            sessionManager: window.sessionManager
            appManager: window.appManager
        }
    }

    Component {
        id: uploadScreen
        FileUploaderView {
            sessionManager: window.sessionManager
            appManager: window.appManager
        }
    }

    UploadInProgressDialog {
        appManager: window.appManager
    }

    UpdateReportDialog {
        updaterManager: UploaderApplication.updaterManager
    }
}
