// Base of the page tests: builds the real main window, whose real controller scans the rig's
// device table and reads the settings stored for the test, and acts on it as a user does.
import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

TestCase {
    id: scene

    when: windowShown

    // A guard for slow, loaded machines; waits end as soon as their condition holds.
    readonly property int patience: 30000

    property var window: null
    property var wrapper: null

    // Opens the main window on the rig's first `devices` (all five when absent) with the
    // settings store holding two NDI names and a position, overridden by `stored`.
    function open(stored, devices) {
        var values = { ndiInSourName: "Desk", ndiInSourNameDuplex: "Booth", xPos: 40, yPos: 30 }
        Rig.prepare(Object.assign(values, stored), devices === undefined ? 5 : devices)
        var component = Qt.createComponent("qrc:/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = createTemporaryObject(component, scene)
        wrapper = findChild(window, "wrapper")
        waitForRendering(window.contentItem)
    }

    function control(name) {
        var found = findChild(window.contentItem, name)
        verify(found !== null, "no control " + name)
        return found
    }

    // Clicks the page's tab and waits for the page to come into view.
    function showPage(index) {
        var view = control("swipeView")
        mouseClick(control("tabBar").itemAt(index))
        tryCompare(view.contentItem, "contentX", index * view.width, patience)
    }

    // Clicks the field named `name` and types `keys` into it.
    function typeInto(name, keys) {
        var field = control(name)
        mouseClick(field)
        tryVerify(function() { return field.activeFocus }, patience)
        for (var key of keys)
            keyClick(key)
    }

    // Opens a list's popup with a click and clicks the entry at `index`.
    function pick(list, index) {
        mouseClick(list)
        tryCompare(list.popup, "opened", true, patience)
        mouseClick(list.popup.contentItem.itemAtIndex(index))
        tryCompare(list.popup, "visible", false, patience)
    }
}
