import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

SceneCase {
    name: "MainWindow"

    function test_window_follows_stored_position_and_tabs() {
        open({ xWPos: 70, yWPos: 50 })
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
        Fake.clearJournal()
        window.close()
        verify(window.visible)
        var dialog = findChild(window, "closeRefusal")
        verify(dialog !== null)
        verify(dialog.visible)
        compare(dialog.text, "Stop Veltrin before closing.")
        compare(dialog.title, "Error")
        compare(journalSince(), ["xWPos=130", "yWPos=90"])
        dialog.close()

        // Stopped, the window closes; the later position is the one kept.
        wrapper[data.flag] = false
        Fake.clearJournal()
        window.x = 150
        window.close()
        verify(!window.visible)
        compare(journalSince(), ["xWPos=150", "yWPos=90"])
    }

    function test_close_refused_until_the_switch_is_off() {
        open({})
        mouseClick(control("captureSwitch"))
        window.close()
        verify(window.visible)
        findChild(window, "closeRefusal").close()
        mouseClick(control("captureSwitch"))
        window.close()
        verify(!window.visible)
    }
}
