import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

SceneCase {
    name: "MainWindow"

    function test_window_follows_stored_position_and_tabs() {
        open({ xPos: 70, yPos: 50 })
        compare(window.x, 70)
        compare(window.y, 50)
        var tabs = control("tabBar")
        mouseClick(tabs.itemAt(2))
        compare(control("swipeView").currentIndex, 2)
        mouseClick(tabs.itemAt(1))
        compare(control("swipeView").currentIndex, 1)
    }

    function test_close_refused_while_running_data() {
        return [ { tag: "capture", flag: "checkIn" }, { tag: "playback", flag: "checkOut" },
                 { tag: "duplex", flag: "checkInOut" } ]
    }

    function test_close_refused_while_running(data) {
        open({})
        wrapper[data.flag] = true
        window.x = 130
        window.y = 90
        window.close()
        verify(window.visible)
        var dialog = findChild(window, "closeRefusal")
        verify(dialog !== null)
        verify(dialog.visible)
        compare(dialog.text, "Stop Veltrin before closing.")
        compare(dialog.title, "Error")
        compare([wrapper.xWPos, wrapper.yWPos], [130, 90])
        dialog.close()

        // Stopped, the window closes; the later position is the one stored.
        wrapper[data.flag] = false
        window.x = 150
        window.close()
        verify(!window.visible)
        window.destroy()
        tryVerify(function() { return Number(Rig.stored().xPos) === 150 }, patience)
        compare(Number(Rig.stored().yPos), 90)
    }
}
