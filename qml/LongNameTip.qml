// Tooltip that shows a device or source name too long for its box.
import QtQuick 2.15
import QtQuick.Controls 2.15

ToolTip {
    id: tip
    contentItem: Text {
        text: tip.text
        color: "white"
        font.bold: true
        font.family: fixedFont.name
        font.pointSize: wrapper.isMacOS ? 15 : 11
    }
}
