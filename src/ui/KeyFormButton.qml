import QtQuick
import QtQuick.Controls
import Vellumcast

// A button of the key screens and dialogs: accent-filled when prominent, else bordered.
ActionButton {
    id: control

    property bool prominent: true
    property color textColor: prominent ? Theme.alternateSelectedControlText : Theme.label

    topPadding: 14
    bottomPadding: 14
    leftPadding: 12
    rightPadding: 12
    hoverEnabled: true
    font.pixelSize: Theme.bodySize
    font.weight: prominent ? Font.DemiBold : Font.Normal
    opacity: enabled ? 1 : 0.45
    focusRingRadius: 7

    contentItem: Text {
        text: control.text
        font: control.font
        color: control.textColor
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        radius: 7
        color: {
            if (control.prominent)
                return control.down ? Qt.darker(Theme.accent, 1.15)
                                    : control.hovered ? Qt.lighter(Theme.accent, 1.06) : Theme.accent
            const base = Theme.label
            return Qt.rgba(base.r, base.g, base.b, control.down ? 0.16 : control.hovered ? 0.1 : 0.06)
        }
        border.width: control.prominent ? 0 : 1
        border.color: Theme.separator
    }
}
