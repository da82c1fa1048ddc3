import QtQuick
import Vellumcast

// The rounded card the upload screen's form and status stand on.
ShadowedRectangle {
    radius: 16
    color: Theme.controlBackground
    shadowColor: Theme.shadow
    shadowOpacity: 0.1
    shadowRadius: 10
    shadowOffsetY: 5
}
