import QtQuick
import Vellumcast

// The translucent window background of the key screens. Linux has no behind-window blur, so
// it draws what such a material looks like: the window colour, faintly graded from top to
// bottom and tinted with the accent colour.
Rectangle {
    readonly property color base: Theme.windowBackground

    gradient: Gradient {
        GradientStop { position: 0; color: Qt.tint(Theme.dark ? Qt.lighter(base, 1.12) : base, Qt.rgba(Theme.accent.r, Theme.accent.g, Theme.accent.b, 0.05)) }
        GradientStop { position: 1; color: Qt.tint(Qt.darker(base, 1.07), Qt.rgba(Theme.accent.r, Theme.accent.g, Theme.accent.b, 0.08)) }
    }
}
