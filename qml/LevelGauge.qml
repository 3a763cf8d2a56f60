// Level meter of the shared style: a bare rounded bar that turns yellow and red at its value
// end once the value passes `warning`.
import QtQuick 2.15
import QtQuick.Controls.Styles 1.4
import QtQuick.Extras 1.4

Gauge {
    id: gauge

    property real warning: 1

    style: GaugeStyle {
        background: Rectangle {
            implicitWidth: 12
            color: "#262b3f"
            radius: 5
        }
        valueBar: Rectangle {
            objectName: "valueBar"
            implicitWidth: 12
            radius: 5
            gradient: Gradient {
                GradientStop { position: 0.0; color: gauge.value > gauge.warning ? "red" : "#00D100" }
                GradientStop { position: 0.5; color: gauge.value > gauge.warning ? "yellow" : "#00D100" }
                GradientStop { position: 0.7; color: "#00D100" }
                GradientStop { position: 1.0; color: "#00D100" }
            }
        }
        tickmark: Item {}
        minorTickmark: Item {}
        tickmarkLabel: Item {}
    }
}
