// About page: the versions of the interface, the engine and the NDI runtime, the agreement,
// and a button that opens the help page shipped with Veltrin.
import QtQuick 2.15
import QtQuick.Controls 2.15
import "Agreement.js" as Agreement

Page {
    id: page

    background: Item {}

    FontLoader {
        id: latoFont
        source: "Lato-Regular.ttf"
    }

    Row {
        x: 140
        y: 150
        spacing: 190

        Rectangle {
            width: 100
            height: 20
            color: "transparent"
            VersionText {
                objectName: "interfaceVersion"
                leftPadding: 3
                text: "INTERFACE" + " v" + wrapper.engVersion()
            }
        }
        Rectangle {
            width: 100
            height: 20
            color: "transparent"
            VersionText {
                objectName: "engineVersion"
                leftPadding: 20
                text: "ENGINE v" + wrapper.dllVersion() + " DLL"
            }
        }
        Rectangle {
            width: 100
            height: 20
            color: "transparent"
            VersionText {
                objectName: "ndiVersion"
                leftPadding: 3
                text: "NDI LIBRARY" + " v" + wrapper.version + (wrapper.ndiBuiltIn ? " built-in" : "")
            }
        }
    }

    Rectangle {
        y: 210
        width: 800
        height: 300
        anchors.horizontalCenter: parent.horizontalCenter
        color: "black"
        clip: true

        Flickable {
            id: flick
            objectName: "agreementView"
            anchors.fill: parent
            contentHeight: agreement.implicitHeight
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}

            TextArea.flickable: TextArea {
                id: agreement
                objectName: "agreement"
                readOnly: true
                selectByKeyboard: false
                wrapMode: TextEdit.WordWrap
                textFormat: TextEdit.PlainText
                leftPadding: 10
                background: null
                color: "white"
                font.family: latoFont.name
                font.pointSize: wrapper.isMacOS ? 15 : 11
                text: Agreement.text
            }
        }
    }

    Button {
        objectName: "helpButton"
        x: 600
        y: 550

        background: Rectangle {
            implicitWidth: 140
            implicitHeight: 45
            color: "#ffd700"
            border.color: "#181b27"
            border.width: 1
            radius: 4
        }
        contentItem: Text {
            text: "HELP"
            color: "black"
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            font.family: latoFont.name
            font.pointSize: wrapper.isMacOS ? 17 : 12
            font.letterSpacing: 2
        }
        onClicked: Qt.openUrlExternally(helpPage)
    }
}
