import QtQuick
import Vellumcast

// A rounded rectangle over its own soft shadow, filling this item; the shadow spills outside.
Item {
    id: root

    property alias color: panel.color
    property alias radius: panel.radius
    property alias shadowColor: panel.shadowColor
    property alias shadowRadius: panel.shadowRadius
    property alias shadowOffsetX: panel.shadowOffsetX
    property alias shadowOffsetY: panel.shadowOffsetY
    property alias shadowOpacity: panel.shadowOpacity

    RoundedPanel {
        id: panel
        anchors.fill: parent
        anchors.margins: -extent
    }
}
