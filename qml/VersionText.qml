// One version text of the About page, in gold.
import QtQuick 2.15

Text {
    color: "#ffd700"
    font.family: latoFont.name
    font.pointSize: wrapper.isMacOS ? 15 : 11
}
