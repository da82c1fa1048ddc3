import QtQuick
import QtQuick.Controls
import Vellumcast

// The button that starts an upload; it turns grey with a spinner while one runs.
ActionButton {
    id: control

    required property bool isUploading
    property real buttonScale: 1

    text: isUploading ? "Uploading..." : "Upload"
    padding: Theme.defaultPadding
    font.pixelSize: Theme.headlineSize
    font.weight: Font.DemiBold
    opacity: enabled ? 1 : 0.7
    scale: buttonScale
    focusRingRadius: 12
    Accessible.name: text

    Behavior on buttonScale { Spring { response: 0.3; dampingFraction: 0.825 } }

    contentItem: Item {
        implicitWidth: content.implicitWidth
        implicitHeight: content.implicitHeight

        Row {
            id: content
            anchors.centerIn: parent

            ActivitySpinner {
                objectName: "uploadSpinner"
                anchors.verticalCenter: parent.verticalCenter
                visible: control.isUploading
                color: "white"
                scale: 0.8
            }

            SymbolImage {
                objectName: "uploadSymbol"
                anchors.verticalCenter: parent.verticalCenter
                visible: !control.isUploading
                name: "arrow.up.circle.fill"
                pointSize: 18
                color: Theme.alternateSelectedControlText
            }

            Item {
                width: 5
                height: 1
            }

            Label {
                objectName: "uploadButtonText"
                anchors.verticalCenter: parent.verticalCenter
                text: control.text
                font: control.font
                color: Theme.alternateSelectedControlText
            }
        }
    }

    background: ShadowedRectangle {
        objectName: "uploadButtonBackground"
        radius: 12
        color: {
            const base = control.isUploading ? Theme.systemGray : Theme.systemBlue
            return control.down ? Qt.darker(base, 1.12) : base
        }
        shadowColor: Theme.shadow
        shadowOpacity: 0.3
        shadowRadius: 5
        shadowOffsetY: 3
    }
}
