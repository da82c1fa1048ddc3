import QtQuick
import QtQuick.Controls
import Vellumcast

// The card both key screens show: the logo row, a title, the key field and the buttons,
// entering as `form` runs its entrance animation.
FocusScope {
    id: card

    required property KeyFormState form
    required property string title
    required property string primaryText
    property string notice: ""
    property bool showsCancel: false

    // The primary button, or Return in the key field; the card itself takes no Return, or one press would commit twice.
    signal commit()
    signal cancelClicked()

    implicitWidth: panel.width + 2 * 32
    implicitHeight: panel.height + 2 * 32

    ShadowedRectangle {
        id: panel
        objectName: "keyFormPanel"

        anchors.centerIn: parent
        width: 400
        height: content.implicitHeight + 2 * 32
        radius: 16
        color: Theme.windowBackground
        shadowColor: Qt.rgba(0, 0, 0, 0.1)
        shadowRadius: 16
        shadowOffsetY: 8
        opacity: card.form.showWelcome ? 1 : 0
        scale: card.form.showWelcome ? 1 : 0.95

        Behavior on opacity { EaseInOut { duration: 400 } }
        Behavior on scale { EaseInOut { duration: 400 } }

        Column {
            id: content

            x: 32
            y: 32
            width: parent.width - 64
            spacing: 24

            Row {
                id: logoRow
                anchors.horizontalCenter: parent.horizontalCenter
                spacing: 8

                TintedImage {
                    objectName: "logo"
                    width: 50
                    height: 50
                    source: "images/vellumcastlogo.svg"
                    color: Theme.accent
                    scale: card.form.showLogo ? 1 : 0
                    opacity: card.form.showLogo ? 1 : 0

                    Behavior on scale { Spring { response: 0.5; dampingFraction: 0.6 } }
                    Behavior on opacity { Spring { response: 0.5; dampingFraction: 0.6 } }
                }

                Label {
                    id: brand
                    anchors.verticalCenter: parent.verticalCenter
                    text: "Vellumcast"
                    font.pixelSize: Theme.titleSize
                    font.bold: true
                    color: Theme.label
                    opacity: card.form.showLogo ? 1 : 0
                    transform: Translate {
                        y: card.form.showLogo ? 0 : -(brand.y + brand.height)
                        Behavior on y { Spring { response: 0.5; dampingFraction: 0.6 } }
                    }

                    Behavior on opacity { Spring { response: 0.5; dampingFraction: 0.6 } }
                }
            }

            Column {
                objectName: "keyForm"
                width: parent.width
                spacing: 24
                opacity: card.form.showWelcome ? 1 : 0

                Behavior on opacity {
                    SequentialAnimation {
                        PauseAnimation { duration: 200 }
                        EaseOut { duration: 400 }
                    }
                }

                Column {
                    width: parent.width
                    spacing: 6

                    Label {
                        objectName: "keyFormTitle"
                        anchors.horizontalCenter: parent.horizontalCenter
                        text: card.title
                        font.pixelSize: 24
                        font.weight: Font.DemiBold
                        color: Theme.label
                    }

                    Label {
                        anchors.horizontalCenter: parent.horizontalCenter
                        text: "Enter your API key"
                        font.pixelSize: Theme.bodySize
                        color: Theme.secondaryLabel
                    }
                }

                Label {
                    objectName: "notice"
                    width: parent.width
                    visible: card.notice.length > 0
                    text: card.notice
                    wrapMode: Text.Wrap
                    horizontalAlignment: Text.AlignHCenter
                    font.pixelSize: Theme.bodySize - 1
                    color: Theme.systemRed
                }

                Column {
                    width: parent.width
                    spacing: 4

                    Label {
                        text: "API Key"
                        font.pixelSize: Theme.captionSize
                        color: Theme.secondaryLabel
                    }

                    TextField {
                        id: keyField
                        objectName: "apiKeyField"

                        width: parent.width
                        text: card.form.apiKey
                        Accessible.name: "API Key"
                        topPadding: 8
                        bottomPadding: 8
                        leftPadding: 12
                        rightPadding: 12
                        font.pixelSize: Theme.bodySize
                        color: Theme.label
                        selectionColor: Theme.accent
                        selectedTextColor: Theme.alternateSelectedControlText
                        background: Rectangle {
                            radius: 8
                            color: Qt.rgba(Theme.label.r, Theme.label.g, Theme.label.b, 0.1)
                        }

                        onTextEdited: card.form.apiKey = text
                        onAccepted: card.commit()

                        Connections {
                            target: card.form
                            function onFocusedFieldChanged() {
                                if (card.form.focusedField === KeyFormState.ApiKey)
                                    keyField.forceActiveFocus()
                            }
                        }
                    }
                }

                KeyFormButton {
                    objectName: "primaryButton"
                    width: parent.width
                    text: card.primaryText
                    enabled: card.form.canCommit
                    onClicked: card.commit()
                }

                KeyFormButton {
                    objectName: "cancelButton"
                    width: parent.width
                    visible: card.showsCancel
                    prominent: false
                    text: "Cancel"
                    textColor: Theme.systemGray
                    onClicked: card.cancelClicked()
                }
            }
        }
    }
}
