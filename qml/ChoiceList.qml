// Drop-down list of the shared style. With `longNames` set it is a device or NDI-source list:
// the shown text shrinks to fit and over-long texts get a tooltip, on the box and on each entry.
import QtQuick 2.15
import QtQuick.Controls 2.15

ComboBox {
    id: control

    property bool longNames: false
    property int tooltipThreshold: 50
    property int minimumTextSize: 2
    property bool centredTooltip: false
    property int backgroundWidth: 120
    property int backgroundHeight: 50

    hoverEnabled: true
    // Locked while its stream runs; dimmed so that the lock shows.
    opacity: enabled ? 1.0 : 0.6

    delegate: ItemDelegate {
        id: entry
        width: control.width
        hoverEnabled: true
        highlighted: control.highlightedIndex === index
        contentItem: Text {
            text: modelData
            color: "#262b3f"
            font.family: fixedFont.name
            elide: Text.ElideRight
            verticalAlignment: Text.AlignVCenter
        }
        LongNameTip {
            visible: control.longNames && entry.hovered
                     && String(modelData).length > control.tooltipThreshold
            text: modelData
        }
    }

    indicator: Canvas {
        id: canvas
        x: control.width - width - control.rightPadding
        y: control.topPadding + (control.availableHeight - height) / 2
        width: 12
        height: 8
        contextType: "2d"

        Connections {
            target: control
            function onPressedChanged() { canvas.requestPaint() }
        }

        onPaint: {
            var ctx = getContext("2d")
            ctx.reset()
            ctx.moveTo(0, 0)
            ctx.lineTo(width, 0)
            ctx.lineTo(width / 2, height)
            ctx.closePath()
            ctx.fillStyle = control.pressed ? "#262b3f" : "#ffffff"
            ctx.fill()
        }
    }

    contentItem: Text {
        leftPadding: 7
        rightPadding: control.indicator.width + control.spacing
        text: control.displayText
        font.family: fixedFont.name
        font.pointSize: wrapper.isMacOS ? 17 : 12
        fontSizeMode: control.longNames ? Text.Fit : Text.FixedSize
        minimumPointSize: control.minimumTextSize
        color: control.pressed ? "#262b3f" : "white"
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        implicitWidth: control.backgroundWidth
        implicitHeight: control.backgroundHeight
        color: "#262b3f"
        border.color: control.pressed ? "#ffffff" : "#262b3f"
        border.width: control.visualFocus ? 2 : 1
        radius: 4
    }

    popup: Popup {
        y: control.height - 1
        width: control.width
        implicitHeight: contentItem.implicitHeight
        padding: 1

        contentItem: ListView {
            clip: true
            implicitHeight: contentHeight
            model: control.popup.visible ? control.delegateModel : null
            currentIndex: control.highlightedIndex
            ScrollIndicator.vertical: ScrollIndicator {}
        }

        background: Rectangle {
            border.color: "#262b3f"
            radius: 4
        }
    }

    // Opens the list on a click anywhere on the closed box.
    MouseArea {
        anchors.fill: parent
        onClicked: control.popup.open()
    }

    LongNameTip {
        objectName: "nameTip"
        visible: control.longNames && control.hovered && !control.popup.visible
                 && control.displayText.length > control.tooltipThreshold
        text: control.displayText
        x: control.centredTooltip ? (control.width - width) / 2 : 0
    }
}
