// Toggle switch of the shared style: amber track when on, the text to the right of the track.
import QtQuick 2.15
import QtQuick.Controls 2.15

Switch {
    id: control

    indicator: Rectangle {
        implicitWidth: 48
        implicitHeight: 16
        x: control.leftPadding
        y: parent.height / 2 - height / 2
        radius: 13
        color: control.checked ? "#FCCE09" : "#262b3f"

        Rectangle {
            x: control.checked ? parent.width - width : 0
            anchors.verticalCenter: parent.verticalCenter
            width: 26
            height: 26
            radius: 13
            color: control.down ? "#cccccc" : "#A4A4A5"
            border.color: control.checked ? "#FCCE09" : "#999999"
        }
    }

    contentItem: Text {
        text: control.text
        font.family: fixedFont.name
        font.pointSize: wrapper.isMacOS ? 17 : 12
        color: "white"
        verticalAlignment: Text.AlignVCenter
        leftPadding: control.indicator.width + control.spacing
    }
}
