// Under a stream's switch: what happened to its device, while it is away. The switch stays on
// meanwhile, since the stream carries on by itself when the device returns.
import QtQuick 2.15
import QtQuick.Layouts 1.15

Text {
    visible: text !== ""
    Layout.columnSpan: 2
    Layout.preferredWidth: 425
    color: "#ffb300"
    wrapMode: Text.Wrap
    font.family: fixedFont.name
    font.pointSize: wrapper.isMacOS ? 15 : 11
}
