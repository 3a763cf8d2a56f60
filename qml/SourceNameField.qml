// Field in which the user types the name an NDI source is published under.
import QtQuick 2.15
import QtQuick.Controls 2.15

TextField {
    color: "white"
    font.family: fixedFont.name
    font.pointSize: wrapper.isMacOS ? 14 : 10
    leftPadding: 10
    topPadding: 10
    selectByMouse: true
    placeholderText: "Type the NDI OUT source name."

    background: Rectangle {
        implicitWidth: 425
        implicitHeight: 40
        color: "#262b3f"
        radius: 4
    }
}
