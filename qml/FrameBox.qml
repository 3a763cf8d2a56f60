// Group box of the shared style: a white rounded frame that starts below its label.
import QtQuick 2.15
import QtQuick.Controls 2.15

GroupBox {
    id: control

    property int labelIndent: 0
    property bool labelCentred: false

    background: Rectangle {
        y: control.topPadding - control.bottomPadding
        width: parent.width
        height: parent.height - control.topPadding + control.bottomPadding
        color: "transparent"
        border.color: "white"
        radius: 5
    }

    label: Text {
        x: control.leftPadding + control.labelIndent
        width: control.availableWidth - control.labelIndent
        text: control.title
        color: "white"
        font.family: fixedFont.name
        font.pointSize: wrapper.isMacOS ? 17 : 12
        horizontalAlignment: control.labelCentred ? Text.AlignHCenter : Text.AlignLeft
        elide: Text.ElideRight
    }
}
