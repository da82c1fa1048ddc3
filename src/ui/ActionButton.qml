import QtQuick
import QtQuick.Controls
import Vellumcast

// A button of the app's own look that works from the keyboard: Tab reaches it and rings it,
// Space or Return presses it.
AbstractButton {
    id: control

    // The corner radius of the control the ring surrounds.
    property real focusRingRadius: 0

    focusPolicy: Qt.StrongFocus

    Keys.onReturnPressed: control.clicked()
    Keys.onEnterPressed: control.clicked()
    // A screen reader's Press: Qt 6.4 does not turn it into a click by itself.
    Accessible.onPressAction: {
        if (control.enabled)
            control.clicked()
    }

    FocusRing {
        objectName: "focusRing"
        controlRadius: control.focusRingRadius
        visible: control.visualFocus
    }
}
