import QtQuick
import QtQuick.Controls
import Vellumcast

// The round cross that removes a chosen file from a picker.
ActionButton {
    id: control

    property color color: Theme.secondaryLabel

    padding: 2
    hoverEnabled: true
    focusRingRadius: width / 2

    contentItem: SymbolImage {
        name: "xmark.circle.fill"
        pointSize: 16
        color: control.color
        opacity: !control.enabled ? 0.5 : control.down ? 0.6 : control.hovered ? 0.85 : 1
    }
}
