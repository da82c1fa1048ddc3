import QtQuick
import QtQuick.Controls
import Vellumcast

// One choice among several (a video format, a perspective), a radio button to screen readers:
// filled blue while chosen and tinted while `isHovered`. Both changes animate here, whoever
// makes them. It works from the keyboard as the app's other buttons do.
RadioButton {
    id: control

    required property bool selected
    property bool isHovered: false

    // 0 to 1: how far the fill has gone towards chosen, and towards hovered.
    property real selection: selected ? 1 : 0
    property real hoverTint: isHovered ? 1 : 0

    // The choice belongs to the upload screen; a click asks for it, and the button follows.
    checked: selected
    indicator: null
    focusPolicy: Qt.StrongFocus
    topPadding: 8
    bottomPadding: 8
    leftPadding: 8
    rightPadding: 8
    font.pixelSize: Theme.bodySize
    opacity: enabled ? 1 : 0.6
    Accessible.name: text
    // A screen reader presses or toggles it; Qt 6.4 turns neither into a click by itself.
    Accessible.onPressAction: {
        if (control.enabled)
            control.clicked()
    }
    Accessible.onToggleAction: {
        if (control.enabled)
            control.clicked()
    }

    Keys.onReturnPressed: control.clicked()
    Keys.onEnterPressed: control.clicked()

    Behavior on selection { Spring { response: 0.3; dampingFraction: 0.825 } }
    Behavior on hoverTint { EaseInOut { duration: 200 } }

    contentItem: Text {
        text: control.text
        font: control.font
        wrapMode: Text.Wrap
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        color: Theme.blend(Theme.label, Theme.alternateSelectedControlText, control.selection)
    }

    background: Item {
        readonly property color hoverFill: Qt.rgba(Theme.selectedControl.r, Theme.selectedControl.g,
                                                   Theme.selectedControl.b, 0.3 * control.hoverTint)

        Rectangle {
            anchors.fill: parent
            radius: 8
            color: Theme.blend(parent.hoverFill, Theme.systemBlue, control.selection)
        }

        RoundedOutline {
            anchors.fill: parent
            radius: 8
            lineWidth: 1
            color: Theme.blend(Theme.separator, Theme.systemBlue, control.selection)
        }

        FocusRing {
            objectName: "focusRing"
            controlRadius: 8
            visible: control.visualFocus
        }
    }
}
