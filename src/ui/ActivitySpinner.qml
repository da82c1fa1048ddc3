import QtQuick
import Vellumcast

// The indeterminate progress spinner: twelve spokes fading around the circle, turning.
Item {
    id: spinner

    property color color: Theme.label

    implicitWidth: 20
    implicitHeight: 20

    Repeater {
        model: 12

        Rectangle {
            required property int index

            x: (spinner.width - width) / 2
            width: Math.max(1.5, spinner.width * 0.09)
            height: spinner.height * 0.28
            radius: width / 2
            color: spinner.color
            opacity: 0.2 + 0.8 * index / 11
            transform: Rotation {
                origin.x: width / 2
                origin.y: spinner.height / 2
                angle: index * 30
            }
        }
    }

    RotationAnimator on rotation {
        from: 0
        to: 360
        duration: 1000
        loops: Animation.Infinite
        running: spinner.visible
    }
}
