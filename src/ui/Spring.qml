import QtQuick

// A damped spring given the way designers give it: `response` is the period of the undamped
// oscillation in seconds, `dampingFraction` 1 settles without overshoot, less bounces. Every
// spring in the app is one of these.
SpringAnimation {
    property real response: 0.5
    property real dampingFraction: 0.825

    // SpringAnimation integrates in fixed 16 ms steps: stiffness and damping per step.
    spring: 0.016 * Math.pow(2 * Math.PI / response, 2)
    damping: Math.min(1, 0.016 * 4 * Math.PI * dampingFraction / response)
    mass: 1
    epsilon: 0.001
}
