import QtQuick
import QtQuick.Controls
import Vellumcast

// One choice among several (a video format, a perspective): filled blue while chosen and
// tinted while `isHovered`. Both changes animate here, whoever makes them.
ActionButton {
    id: control

    required property bool selected
    property bool isHovered: false

    // 0 to 1: how far the fill has gone towards chosen, and towards hovered.
    property real selection: selected ? 1 : 0
    property real hoverTint: isHovered ? 1 : 0

    topPadding: 8
    bottomPadding: 8
    leftPadding: 8
    rightPadding: 8
    font.pixelSize: Theme.bodySize
    opacity: enabled ? 1 : 0.6
    focusRingRadius: 8
    Accessible.name: text
    Accessible.checkable: true
    Accessible.checked: selected

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
    }
}
