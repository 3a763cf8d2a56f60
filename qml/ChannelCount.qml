// Read-only box showing a channel count.
import QtQuick 2.15

Rectangle {
    property alias text: count.text

    width: 43
    height: 43
    color: "#262b3f"
    radius: 4

    TextInput {
        id: count
        anchors.centerIn: parent
        enabled: false
        color: "white"
        font.family: fixedFont.name
        font.pointSize: wrapper.isMacOS ? 17 : 12
        horizontalAlignment: TextInput.AlignHCenter
    }
}
