// Base of the page tests: builds the real main window around a FakeWrapper preset with the
// values a controller holds after its device scan and settings read, and helpers to act on it
// the way a user does.
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

    readonly property var inputs: ["ALSA  USB Mic", "ALSA  Studio Desk In", "JACK  system"]
    readonly property var outputs: ["ALSA  Speakers", "JACK  system"]
    readonly property var duplexDevices: ["Studio Desk", "USB Interface"]

    function defaults() {
        return {
            inPutDevice: inputs, outPutDevice: outputs, inOutPutDevice: duplexDevices,
            inOutPutDev: "Studio Desk",
            buffSize: 256, rates: 48000, buffOutSize: 256, ratesOut: 48000,
            buffDuplexSize: 256, rateDuplex: 48000,
            ndiInSourName: "Desk", ndiInSourNameDuplex: "Booth", version: "5.6.1",
            numChannels: 2, numOutChannels: 2, xWPos: 40, yWPos: 30,
            duplexChannels: { "Studio Desk": ["8", "8"], "USB Interface": ["2", "4"] }
        }
    }

    // Opens the main window with the defaults overridden by `changes`.
    function open(changes) {
        var values = defaults()
        for (var key in changes)
            values[key] = changes[key]
        Fake.preset(values)
        var component = Qt.createComponent("qrc:/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = createTemporaryObject(component, scene)
        verify(window !== null)
        wrapper = Fake.wrapper()
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

    function journalSince() {
        var entries = Fake.journal()
        Fake.clearJournal()
        return entries
    }
}
