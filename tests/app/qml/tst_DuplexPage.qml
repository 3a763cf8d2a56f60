import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

SceneCase {
    name: "DuplexPage"

    function test_initial_selection_data() {
        return [
            { tag: "device listed", preset: { inOutPutDev: "USB Interface" }, device: 1, inCh: "2", outCh: "4" },
            { tag: "device not listed", preset: { inOutPutDev: "Gone" }, device: -1, inCh: "", outCh: "" }
        ]
    }

    function test_initial_selection(data) {
        open(data.preset)
        compare(control("duplexDeviceList").currentIndex, data.device)
        compare(control("duplexInputChannels").text, data.inCh)
        compare(control("duplexOutputChannels").text, data.outCh)
        compare(control("duplexNameField").text, "Booth")
        var journal = Fake.journal()
        if (data.device >= 0) {
            var at = journal.indexOf("inOutPutDev=" + data.preset.inOutPutDev)
            verify(at >= 0, journal)
            compare(journal[at + 1], "duplexChannelsSamplerate()")
        } else {
            for (var i = 0; i < journal.length; ++i)
                verify(!/^(inOutPutDev=|duplexChannelsSamplerate)/.test(journal[i]), journal[i])
        }
    }

    function test_stored_settings_not_listed() {
        open({ buffDuplexSize: 3000, rateDuplex: 44000 })
        compare(control("duplexBufferList").currentIndex, -1)
        compare(control("duplexRateList").currentIndex, -1)
        compare(wrapper.buffDuplexSize, 3000)
        compare(wrapper.rateDuplex, 44000)
    }

    function test_controls_write_in_order() {
        open({})
        showPage(1)
        Fake.clearJournal()
        pick(control("duplexDeviceList"), 1)
        compare(journalSince(), ["inOutPutDev=USB Interface", "duplexChannelsSamplerate()"])
        compare(control("duplexInputChannels").text, "2")
        compare(control("duplexOutputChannels").text, "4")

        pick(control("duplexBufferList"), 1)
        pick(control("duplexRateList"), 7)
        compare(journalSince(), ["buffDuplexSize=64", "rateDuplex=176400"])

        wrapper.ndiDevice = ["HOST-A (Mic)", "HOST-B (Desk)"]
        Fake.clearJournal()
        pick(control("duplexSourceList"), 1)
        compare(journalSince(), ["ndiDevIp=1", "ndiOutDuplexSourceName=HOST-B (Desk)"])

        var field = control("duplexNameField")
        mouseClick(field)
        tryVerify(function() { return field.activeFocus }, patience)
        keyClick(Qt.Key_End)
        Fake.clearJournal()
        keyClick(Qt.Key_2)
        compare(journalSince(), ["ndiInSourNameDuplex=Booth2"])
    }

    function test_switch_locks_page_and_tabs() {
        open({})
        showPage(1)
        Fake.clearJournal()
        var sw = control("duplexSwitch")
        mouseClick(sw)
        compare(journalSince(), ["checkInOut=true", "startInOutThread()"])
        var lists = ["duplexSourceList", "duplexDeviceList", "duplexBufferList", "duplexRateList"]
        for (var i = 0; i < lists.length; ++i)
            verify(!control(lists[i]).enabled, lists[i])
        verify(control("duplexNameField").enabled)
        verify(!control("tabBar").enabled)
        verify(!control("swipeView").interactive)
        // The one-way page's lists are not this switch's business.
        verify(control("inputDeviceList").enabled)

        mouseClick(sw)
        compare(journalSince(), ["checkInOut=false", "stopInOutThread()"])
        for (i = 0; i < lists.length; ++i)
            verify(control(lists[i]).enabled, lists[i])
        verify(control("tabBar").enabled)
        verify(control("swipeView").interactive)
    }
}
