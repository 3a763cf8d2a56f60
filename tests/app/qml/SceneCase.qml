// Base of the page tests: builds the real main window, whose real controller scans the rig's
// device table and reads the settings stored for the test, and helpers to act on it the way a
// user does.
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

    // The lists the scan makes of the rig's studio, in device order.
    readonly property var inputs: ["ALSA  USB Mic", "ALSA  Studio Desk", "ALSA  USB Interface",
                                   "JACK  system",
                                   "ALSA  Multichannel Broadcast Interface 64x64 MADI (hw:3,0)"]
    readonly property var outputs: ["ALSA  Studio Desk", "ALSA  USB Interface", "ALSA  Speakers",
                                    "JACK  system"]
    readonly property var duplexDevices: ["Studio Desk", "USB Interface", "system"]

    // Opens the main window on `devices` (the studio when absent) with the settings store
    // holding the names and position below, overridden by `stored`.
    function open(stored, devices) {
        var values = { ndiInSourName: "Desk", ndiInSourNameDuplex: "Booth", xPos: 40, yPos: 30 }
        for (var key in stored)
            values[key] = stored[key]
        Rig.store(values)
        Rig.setDevices(devices === undefined ? studioDevices : devices)
        var component = Qt.createComponent("qrc:/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = createTemporaryObject(component, scene)
        verify(window !== null)
        wrapper = Rig.wrapper(window)
        verify(wrapper !== null)
        waitForRendering(window.contentItem)
    }

    function control(name) {
        var found = findChild(window.contentItem, name)
        verify(found !== null, "no control " + name)
        return found
    }

    function showPage(index) {
        var view = control("swipeView")
        control("tabBar").currentIndex = index
        tryCompare(view.contentItem, "contentX", index * view.width, patience)
    }

    // Opens a list's popup with a click and clicks the entry at `index`.
    function pick(list, index) {
        mouseClick(list)
        tryCompare(list.popup, "opened", true, patience)
        var entry = list.popup.contentItem.itemAtIndex(index)
        verify(entry !== null)
        mouseClick(entry)
        tryCompare(list.popup, "visible", false, patience)
    }

    // Waits for the stream opened `count`-th (from 1) and returns it.
    function openedStream(count) {
        tryVerify(function() { return Rig.streams().length >= count }, patience,
                  "stream " + count + " never opened")
        return Rig.streams()[count - 1]
    }

    function waitAllStopped() {
        tryVerify(function() { return Rig.runningStreams() === 0 }, patience, "a stream kept running")
    }
}
