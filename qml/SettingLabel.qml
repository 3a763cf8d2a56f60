// White label in front of a setting.
import QtQuick 2.15

Text {
    color: "white"
    font.family: fixedFont.name
    font.pointSize: wrapper.isMacOS ? 17 : 12
}
