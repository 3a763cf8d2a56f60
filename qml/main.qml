// The main window: creates the one controller, hosts the three pages in a swipe view with a
// tab bar, forwards the meter values, and refuses to close while a stream runs.
import QtQuick 2.15
import QtQuick.Window 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import QtQuick.Dialogs 1.3
import com.quorvane.wrapper 1.0

ApplicationWindow {
    id: window

    width: 1020
    height: 680
    minimumWidth: 1020
    minimumHeight: 680
    maximumWidth: 1020
    maximumHeight: 680
    x: wrapper.xWPos
    y: wrapper.yWPos
    visible: true
    title: "Veltrin - Quorvane"
    color: "#303844"

    Material.theme: Material.Dark
    Material.accent: Material.Amber

    background: Rectangle {
        color: "#343434"
        border.color: "white"

        Image {
            anchors.fill: parent
            source: "background.jpg"
            fillMode: Image.Tile
            opacity: 1
        }
    }

    onClosing: {
        if (wrapper.checkIn || wrapper.checkOut || wrapper.checkInOut) {
            close.accepted = false
            closeRefusal.open()
        }
        // Saved by the controller when it goes, so the last request's position is kept.
        wrapper.xWPos = window.x
        wrapper.yWPos = window.y
    }

    Wrapper {
        id: wrapper
        objectName: "wrapper"

        function blockTabbar(active) {
            tabBar.enabled = !active
        }

        onLevelChanged: simple.inputValue = wrapper.level
        onOutLevelChanged: simple.outputValue = wrapper.outLevel
    }

    MessageDialog {
        id: closeRefusal
        objectName: "closeRefusal"
        icon: StandardIcon.Critical
        title: "Error"
        text: "Stop Veltrin before closing."
        standardButtons: StandardButton.Ok
    }

    FontLoader {
        id: fixedFont
        source: "Lato-Regular.ttf"
    }

    Rectangle {
        y: 35
        width: parent.width
        height: 43
        color: "transparent"

        TextInput {
            anchors.centerIn: parent
            readOnly: true
            enabled: false
            text: "Veltrin"
            color: "white"
            font.family: fixedFont.name
            font.pointSize: wrapper.isMacOS ? 48 : 32
            horizontalAlignment: TextInput.AlignHCenter
            verticalAlignment: TextInput.AlignVCenter
        }
    }

    Image {
        x: 800
        y: window.height / 1.26
        width: 180
        height: 41
        source: "logo.png"
    }

    SwipeView {
        id: swipeView
        objectName: "swipeView"
        anchors.fill: parent
        interactive: true
        currentIndex: tabBar.currentIndex

        SimplePage {
            id: simple
        }
        DuplexPage {
            id: duplex
        }
        Settings {
            id: settings
        }
    }

    footer: TabBar {
        id: tabBar
        objectName: "tabBar"
        currentIndex: swipeView.currentIndex

        TabButton {
            text: "One-way Audio Device"
        }
        TabButton {
            text: "Two-way Audio Device"
        }
        TabButton {
            text: "About"
        }
    }
}
