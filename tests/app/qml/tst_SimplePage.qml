import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

SceneCase {
    name: "SimplePage"

    function test_initial_selection_data() {
        return [
            { tag: "stored devices", preset: { inPutDevFullString: "JACK  system", outPutDevFullString: "JACK  system" },
              input: 2, output: 1 },
            { tag: "nothing stored", preset: {}, input: 0, output: 0 },
            { tag: "stored devices gone", preset: { inPutDevFullString: "ALSA  Old Card", outPutDevFullString: "ALSA  Old Card" },
              input: 0, output: 0 },
            { tag: "same name other case", preset: { inPutDevFullString: "jack  system" }, input: 0, output: 0 }
        ]
    }

    function test_initial_selection(data) {
        open(data.preset)
        compare(control("inputDeviceList").currentIndex, data.input)
        compare(control("outputDeviceList").currentIndex, data.output)
        // The controller learns the shown devices at once, in the order it needs them.
        var journal = Fake.journal()
        var first = journal.indexOf("numChannels=" + data.input)
        verify(first >= 0, journal)
        compare(journal.slice(first, first + 4),
                ["numChannels=" + data.input, "sampleRateIn=" + data.input,
                 "inPutDev=" + inputs[data.input], "inPutDevFullString=" + inputs[data.input]])
        var out = journal.indexOf("numOutChannels=" + data.output)
        verify(out >= 0, journal)
        compare(journal.slice(out, out + 4),
                ["numOutChannels=" + data.output, "sampleRate=" + data.output,
                 "outPutDev=" + outputs[data.output], "outPutDevFullString=" + outputs[data.output]])
        compare(wrapper.inPutDev, inputs[data.input])
    }

    function test_stored_settings_data() {
        return [
            { tag: "listed", preset: { buffSize: 512, rates: 96000, buffOutSize: 32, ratesOut: 8000 },
              inBuf: 4, inRate: 6, outBuf: 0, outRate: 0 },
            { tag: "not listed", preset: { buffSize: 100, rates: 12345, buffOutSize: 4096, ratesOut: 0 },
              inBuf: -1, inRate: -1, outBuf: -1, outRate: -1 }
        ]
    }

    function test_stored_settings(data) {
        open(data.preset)
        compare(control("inputBufferList").currentIndex, data.inBuf)
        compare(control("inputRateList").currentIndex, data.inRate)
        compare(control("outputBufferList").currentIndex, data.outBuf)
        compare(control("outputRateList").currentIndex, data.outRate)
        compare(control("inputNameField").text, "Desk")
        // Showing a stored value, listed or not, writes nothing back.
        var journal = Fake.journal()
        for (var i = 0; i < journal.length; ++i)
            verify(!/^(buffSize|rates|buffOutSize|ratesOut)=/.test(journal[i]), journal[i])
        compare(wrapper.buffSize, data.preset.buffSize)
        compare(wrapper.rates, data.preset.rates)
    }

    function test_device_lists_write_in_order() {
        open({})
        Fake.clearJournal()
        pick(control("inputDeviceList"), 1)
        compare(journalSince(), ["numChannels=1", "sampleRateIn=1", "inPutDev=ALSA  Studio Desk In",
                                 "inPutDevFullString=ALSA  Studio Desk In"])
        pick(control("outputDeviceList"), 1)
        compare(journalSince(), ["numOutChannels=1", "sampleRate=1", "outPutDev=JACK  system",
                                 "outPutDevFullString=JACK  system"])
    }

    function test_settings_lists_write_numbers() {
        open({ buffSize: 100 })
        Fake.clearJournal()
        pick(control("inputBufferList"), 5)
        pick(control("inputRateList"), 3)
        pick(control("outputBufferList"), 6)
        pick(control("outputRateList"), 8)
        compare(journalSince(), ["buffSize=1024", "rates=44100", "buffOutSize=2048", "ratesOut=192000"])
        compare(wrapper.rates, 44100)
    }

    function test_source_list_reports_index_then_name() {
        open({})
        Fake.clearJournal()
        wrapper.ndiDevice = ["HOST-A (Mic)", "HOST-B (Desk)", "HOST-C (Room)"]
        var journal = journalSince()
        // Both pages' source lists go to the first entry of a new list.
        var at = journal.indexOf("ndiOutSourceName=HOST-A (Mic)")
        verify(at >= 1, journal)
        compare(journal[at - 1], "ndiDevIp=0")
        verify(journal.indexOf("ndiOutDuplexSourceName=HOST-A (Mic)") >= 0, journal)

        pick(control("outputSourceList"), 2)
        compare(journalSince(), ["ndiDevIp=2", "ndiOutSourceName=HOST-C (Room)"])

        // Discovery moves the chosen source to the front; the list follows it back to 0.
        wrapper.ndiDevice = ["HOST-C (Room)", "HOST-B (Desk)", "HOST-A (Mic)"]
        journal = journalSince()
        at = journal.indexOf("ndiOutSourceName=HOST-C (Room)")
        verify(at >= 1, journal)
        compare(journal[at - 1], "ndiDevIp=0")

        // An empty list reports -1 and no name.
        wrapper.ndiDevice = []
        journal = journalSince()
        at = journal.indexOf("ndiOutSourceName=")
        verify(at >= 1, journal)
        compare(journal[at - 1], "ndiDevIp=-1")
    }

    function test_name_field_writes_every_keystroke() {
        open({ ndiInSourName: "" })
        var field = control("inputNameField")
        mouseClick(field)
        tryVerify(function() { return field.activeFocus }, patience)
        Fake.clearJournal()
        keyClick(Qt.Key_A)
        keyClick(Qt.Key_B)
        compare(journalSince(), ["ndiInSourName=a", "ndiInSourName=ab"])
        // Still editable while the capture runs.
        mouseClick(control("captureSwitch"))
        verify(field.enabled)
        mouseClick(field)
        keyClick(Qt.Key_C)
        compare(journalSince().slice(-1), ["ndiInSourName=abc"])
    }

    function test_capture_switch_locks_its_side() {
        open({})
        Fake.clearJournal()
        var sw = control("captureSwitch")
        mouseClick(sw)
        compare(journalSince(), ["checkIn=true", "startInThread()"])
        verify(sw.checked)
        verify(!control("tabBar").enabled)
        verify(!control("swipeView").interactive)
        verify(!control("inputDeviceList").enabled)
        verify(!control("inputBufferList").enabled)
        verify(!control("inputRateList").enabled)
        verify(control("outputDeviceList").enabled)
        verify(control("outputSourceList").enabled)
        verify(control("playbackSwitch").enabled)

        mouseClick(sw)
        compare(journalSince(), ["checkIn=false", "stopInThread()"])
        verify(control("tabBar").enabled)
        verify(control("swipeView").interactive)
        verify(control("inputDeviceList").enabled)
        verify(control("inputBufferList").enabled)
        verify(control("inputRateList").enabled)
    }

    function test_playback_switch_locks_its_side() {
        open({})
        Fake.clearJournal()
        var sw = control("playbackSwitch")
        mouseClick(sw)
        compare(journalSince(), ["checkOut=true", "startOutThread()"])
        verify(!control("tabBar").enabled)
        verify(!control("swipeView").interactive)
        var lists = ["outputDeviceList", "outputSourceList", "outputBufferList", "outputRateList"]
        for (var i = 0; i < lists.length; ++i)
            verify(!control(lists[i]).enabled, lists[i])
        verify(control("inputDeviceList").enabled)

        mouseClick(sw)
        compare(journalSince(), ["checkOut=false", "stopOutThread()"])
        for (i = 0; i < lists.length; ++i)
            verify(control(lists[i]).enabled, lists[i])
        verify(control("tabBar").enabled)
    }

    function test_both_one_way_streams_at_once() {
        open({})
        Fake.clearJournal()
        mouseClick(control("captureSwitch"))
        mouseClick(control("playbackSwitch"))
        compare(journalSince(), ["checkIn=true", "startInThread()", "checkOut=true", "startOutThread()"])
        verify(wrapper.checkIn && wrapper.checkOut)

        // Each switch frees only its own lists, but either one frees the tab bar and swiping.
        mouseClick(control("captureSwitch"))
        compare(journalSince(), ["checkIn=false", "stopInThread()"])
        verify(control("inputDeviceList").enabled)
        verify(!control("outputDeviceList").enabled)
        verify(control("tabBar").enabled)
        verify(control("swipeView").interactive)
        verify(control("playbackSwitch").checked)
    }

    function test_meters_follow_the_controller() {
        open({})
        wrapper.level = 2
        wrapper.outLevel = 4
        compare(control("inputGauge").value, 2)
        compare(control("outputGauge").value, 4)
        compare(control("duplexInputGauge").value, 2)
        compare(control("duplexOutputGauge").value, 4)
        wrapper.level = -3
        compare(control("duplexInputGauge").value, -3)
    }

    function test_long_names_show_a_tooltip() {
        var longName = "ALSA  Multichannel Broadcast Interface 64x64 MADI (hw:3,0)"
        verify(longName.length > 50)
        open({ inPutDevice: [longName, "ALSA  Short"], inPutDevFullString: longName })
        var list = control("inputDeviceList")
        var tip = findChild(list, "nameTip")
        verify(tip !== null)
        mouseMove(list, list.width / 2, list.height / 2)
        tryVerify(function() { return tip.visible }, patience)
        compare(tip.text, longName)

        var other = control("outputDeviceList")
        mouseMove(other, other.width / 2, other.height / 2)
        tryVerify(function() { return other.hovered }, patience)
        verify(!findChild(other, "nameTip").visible)
        tryVerify(function() { return !tip.visible }, patience)
    }
}
