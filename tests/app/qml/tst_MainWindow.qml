import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

SceneCase {
    name: "MainWindow"

    // The window opens where it was; closing is refused while any stream runs. Stopped, the
    // window closes, and the position it had then is the one stored.
    function test_close_refused_while_running() {
        open({ xPos: 70, yPos: 50 })
        compare([window.x, window.y], [70, 50])
        var dialog = findChild(window, "closeRefusal")
        for (var flag of ["checkIn", "checkOut", "checkInOut"]) {
            wrapper[flag] = true
            window.x += 10
            window.close()
            verify(window.visible && dialog.visible, flag)
            compare([dialog.title, dialog.text], ["Error", "Stop Veltrin before closing."])
            dialog.close()
            wrapper[flag] = false
        }
        window.y = 90
        window.close()
        verify(!window.visible)
        window.destroy()
        tryVerify(function() { return Number(Rig.stored().xPos) === 100 }, patience)
        compare(Number(Rig.stored().yPos), 90)
    }

    function test_about_page() {
        open({})
        showPage(2)
        compare([control("interfaceVersion").text, control("engineVersion").text],
                ["INTERFACE v1.2.5", "ENGINE v2.1.3 DLL"])
        wrapper.version = "6.0.0"
        for (var builtIn of [false, true]) {
            wrapper.ndiBuiltIn = builtIn
            compare(control("ndiVersion").text, "NDI LIBRARY v6.0.0" + (builtIn ? " built-in" : ""))
        }
        // The agreement scrolls and cannot be edited.
        var text = control("agreement"), view = control("agreementView")
        verify(text.text.indexOf("END-USER AGREEMENT") === 0 && text.text.indexOf("MIT License") > 0)
        mouseWheel(view, view.width / 2, view.height / 2, 0, -360)
        tryVerify(function() { return view.contentY > 0 }, patience)
        var before = text.text
        mouseClick(text)
        keyClick(Qt.Key_X)
        compare(text.text, before)
    }
}
