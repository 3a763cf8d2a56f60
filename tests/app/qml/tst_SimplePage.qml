import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

SceneCase {
    name: "SimplePage"

    function test_initial_selection_data() {
        var listed = { buffSize: 512, rates: 96000, buffSizeOut: 32, ratesOut: 8000 }
        var unlisted = { buffSize: 100, rates: 12345, buffSizeOut: 4096, ratesOut: 0 }
        return [
            { tag: "stored devices and listed settings",
              stored: { inPutDev: "JACK  system", outPutDev: "JACK  system" }, values: listed,
              input: 3, inName: "system", inCh: 2, inRate: 48000,
              output: 3, outName: "system", outCh: 2, outRate: 48000, lists: [4, 6, 0, 0] },
            { tag: "nothing stored", stored: {}, values: {},
              input: 0, inName: "USB Mic", inCh: 1, inRate: 44100,
              output: 0, outName: "Studio Desk", outCh: 8, outRate: 48000, lists: [3, 4, 3, 4] },
            { tag: "stored devices gone, settings not listed",
              stored: { inPutDev: "ALSA  Old Card", outPutDev: "ALSA  Old Card" }, values: unlisted,
              input: 0, inName: "USB Mic", inCh: 1, inRate: 44100,
              output: 0, outName: "Studio Desk", outCh: 8, outRate: 48000, lists: [-1, -1, -1, -1] },
            { tag: "same name other case", stored: { inPutDev: "jack  system" }, values: {},
              input: 0, inName: "USB Mic", inCh: 1, inRate: 44100,
              output: 0, outName: "Studio Desk", outCh: 8, outRate: 48000, lists: [3, 4, 3, 4] }
        ]
    }

    // The controller learns the shown devices at once: the device name alone, the whole entry
    // to store, and the entry's channel count and default rate. The lists show the stored
    // buffer sizes and rates; showing a stored value, listed or not, writes nothing back.
    function test_initial_selection(data) {
        var stored = data.stored
        for (var key in data.values)
            stored[key] = data.values[key]
        open(stored)
        compare(control("inputDeviceList").currentIndex, data.input)
        compare(control("outputDeviceList").currentIndex, data.output)
        compare(wrapper.inPutDev, data.inName)
        compare(wrapper.inPutDevFullString, inputs[data.input])
        compare(wrapper.numChannels, data.inCh)
        compare(wrapper.sampleRateIn, data.inRate)
        compare(control("inputChannels").text, String(data.inCh))
        compare(wrapper.outPutDev, data.outName)
        compare(wrapper.outPutDevFullString, outputs[data.output])
        compare(wrapper.numOutChannels, data.outCh)
        compare(wrapper.sampleRate, data.outRate)
        compare(control("inputNameField").text, "Desk")
        compare([control("inputBufferList").currentIndex, control("inputRateList").currentIndex,
                 control("outputBufferList").currentIndex, control("outputRateList").currentIndex],
                data.lists)
        if (data.values.buffSize !== undefined)
            compare([wrapper.buffSize, wrapper.rates, wrapper.buffOutSize, wrapper.ratesOut],
                    [data.values.buffSize, data.values.rates, data.values.buffSizeOut,
                     data.values.ratesOut])
    }

    function test_choices_reach_the_controller_and_the_store() {
        open({ ndiInSourName: "" })
        pick(control("inputDeviceList"), 1)
        compare(wrapper.inPutDev, "Studio Desk")
        compare(wrapper.inPutDevFullString, "ALSA  Studio Desk")
        compare(wrapper.numChannels, 8)
        compare(wrapper.sampleRateIn, 48000)
        compare(control("inputChannels").text, "8")
        pick(control("outputDeviceList"), 2)
        compare(wrapper.outPutDev, "Speakers")
        compare(wrapper.outPutDevFullString, "ALSA  Speakers")
        compare(wrapper.numOutChannels, 2)
        compare(wrapper.sampleRate, 44100)

        pick(control("inputBufferList"), 5)
        pick(control("inputRateList"), 3)
        pick(control("outputBufferList"), 6)
        pick(control("outputRateList"), 8)
        compare([wrapper.buffSize, wrapper.rates, wrapper.buffOutSize, wrapper.ratesOut],
                [1024, 44100, 2048, 192000])

        // The name field writes every keystroke, and stays editable while the capture runs.
        var field = control("inputNameField")
        mouseClick(field)
        tryVerify(function() { return field.activeFocus }, patience)
        keyClick(Qt.Key_A)
        compare(wrapper.ndiInSourName, "a")
        mouseClick(control("captureSwitch"))
        verify(field.enabled)
        mouseClick(field)
        keyClick(Qt.Key_B)
        compare(wrapper.ndiInSourName, "ab")
        mouseClick(control("captureSwitch"))
        waitAllStopped()

        // The choices are what the controller keeps when it goes.
        window.destroy()
        tryVerify(function() { return Rig.stored().inPutDev === "ALSA  Studio Desk" }, patience)
        var stored = Rig.stored()
        compare(stored.outPutDev, "ALSA  Speakers")
        compare(stored.ndiInSourName, "ab")
        compare([Number(stored.buffSize), Number(stored.rates), Number(stored.buffSizeOut),
                 Number(stored.ratesOut)], [1024, 44100, 2048, 192000])
    }

    function test_source_list_follows_discovery() {
        open({})
        wrapper.ndiIpDevice = ["10.0.0.1:5961", "10.0.0.2:5961", "10.0.0.3:5961"]
        wrapper.ndiDevice = ["HOST-A (Mic)", "HOST-B (Desk)", "HOST-C (Room)"]
        // Both pages' source lists go to the first entry of a new list.
        compare(control("outputSourceList").currentIndex, 0)
        compare(wrapper.ndiOutSourceName, "HOST-A (Mic)")
        compare(wrapper.ndiOutDuplexSourceName, "HOST-A (Mic)")
        compare(wrapper.ndiDevIp, "10.0.0.1:5961")

        pick(control("outputSourceList"), 2)
        compare(wrapper.ndiOutSourceName, "HOST-C (Room)")
        compare(wrapper.ndiDevIp, "10.0.0.3:5961")

        // Discovery moves the chosen source to the front; the list follows it back to 0.
        wrapper.ndiDevice = ["HOST-C (Room)", "HOST-B (Desk)", "HOST-A (Mic)"]
        compare(control("outputSourceList").currentIndex, 0)
        compare(wrapper.ndiOutSourceName, "HOST-C (Room)")

        // An empty list leaves no name and no address.
        wrapper.ndiDevice = []
        compare(wrapper.ndiOutSourceName, "")
        compare(wrapper.ndiDevIp, "")
    }

    function test_switch_runs_the_stream_and_locks_its_side_data() {
        var inLists = ["inputDeviceList", "inputBufferList", "inputRateList"]
        var outLists = ["outputDeviceList", "outputSourceList", "outputBufferList", "outputRateList"]
        return [
            // Two channels of 0.5 over 512 frames: log10(256) rounds to 2.
            { tag: "capture", stored: { buffSize: 512, rates: 44100 }, device: 2, sw: "captureSwitch",
              flag: "checkIn", gauge: "inputGauge", locked: inLists, free: outLists.concat(["playbackSwitch"]),
              stream: { input: "USB Interface", inChannels: 2, rate: 44100, frames: 512, output: "" } },
            { tag: "playback", stored: { buffSizeOut: 128, ratesOut: 96000 }, device: -1, sw: "playbackSwitch",
              flag: "checkOut", gauge: "", locked: outLists, free: inLists,
              stream: { output: "Studio Desk", rate: 96000, frames: 128, input: "" } }
        ]
    }

    function test_switch_runs_the_stream_and_locks_its_side(data) {
        open(data.stored)
        if (data.device >= 0)
            pick(control("inputDeviceList"), data.device)
        var sw = control(data.sw)
        mouseClick(sw)
        verify(wrapper[data.flag])
        var stream = openedStream(1)
        for (var key in data.stream)
            compare(stream[key], data.stream[key], key)
        verify(!control("tabBar").enabled)
        verify(!control("swipeView").interactive)
        var i
        for (i = 0; i < data.locked.length; ++i)
            verify(!control(data.locked[i]).enabled, data.locked[i])
        for (i = 0; i < data.free.length; ++i)
            verify(control(data.free[i]).enabled, data.free[i])
        if (data.gauge !== "")
            tryCompare(control(data.gauge), "value", 2, patience)

        mouseClick(sw)
        verify(!wrapper[data.flag])
        waitAllStopped()
        // The poller's last word is the stopped level.
        if (data.gauge !== "")
            tryCompare(control(data.gauge), "value", -3, patience)
        verify(control("tabBar").enabled)
        verify(control("swipeView").interactive)
        for (i = 0; i < data.locked.length; ++i)
            verify(control(data.locked[i]).enabled, data.locked[i])
    }

    function test_both_one_way_streams_at_once() {
        open({})
        mouseClick(control("captureSwitch"))
        mouseClick(control("playbackSwitch"))
        verify(wrapper.checkIn && wrapper.checkOut)
        openedStream(2)
        compare(Rig.runningStreams(), 2)

        // Each switch frees only its own lists, but either one frees the tab bar and swiping.
        mouseClick(control("captureSwitch"))
        verify(!wrapper.checkIn)
        tryVerify(function() { return Rig.runningStreams() === 1 }, patience)
        verify(control("inputDeviceList").enabled)
        verify(!control("outputDeviceList").enabled)
        verify(control("tabBar").enabled)
        verify(control("swipeView").interactive)
        verify(control("playbackSwitch").checked)
        mouseClick(control("playbackSwitch"))
        waitAllStopped()
    }

    // A device that goes away leaves the switch on and says so beside it, with the meter at its
    // floor; the stream carries on by itself once the device is back.
    function test_a_device_that_goes_away_is_shown_until_it_returns() {
        open({})
        pick(control("inputDeviceList"), 2)
        var sw = control("captureSwitch")
        mouseClick(sw)
        openedStream(1)
        tryCompare(control("inputGauge"), "value", 2, patience)
        verify(!control("inputDeviceState").visible)

        Rig.unplug("USB Interface")
        tryCompare(control("inputDeviceState"), "visible", true, patience)
        compare(control("inputDeviceState").text, "Device went away: waiting for it to return")
        verify(sw.checked && wrapper.checkIn)
        tryVerify(function() { return control("inputGauge").value <= -3 }, patience)
        verify(!control("outputDeviceState").visible)

        Rig.plugIn("USB Interface")
        tryCompare(control("inputDeviceState"), "visible", false, patience)
        tryCompare(control("inputGauge"), "value", 2, patience)
        mouseClick(sw)
        waitAllStopped()
    }

    function test_meters_show_whole_numbers() {
        open({})
        wrapper.level = 2.6
        wrapper.outLevel = 3.6
        compare(control("inputGauge").value, 3)
        compare(control("outputGauge").value, 4)
        compare(control("duplexInputGauge").value, 3)
        compare(control("duplexOutputGauge").value, 4)
    }

    function test_long_names_show_a_tooltip() {
        var longName = inputs[4]
        verify(longName.length > 50)
        open({ inPutDev: longName })
        var list = control("inputDeviceList")
        compare(list.currentIndex, 4)
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
