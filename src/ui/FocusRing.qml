import QtQuick
import Vellumcast

// The keyboard focus indicator of custom controls: a ring just outside its parent.
RoundedOutline {
    // The corner radius of the control it surrounds.
    property real controlRadius: 0

    anchors.fill: parent
    anchors.margins: -3
    radius: controlRadius + 3
    lineWidth: 2
    color: Theme.accent
}
