import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

SceneCase {
    name: "Pages"

    function test_initial_selection_data() {
        return [
            { tag: "stored devices and listed settings",
              stored: { inPutDev: "JACK  system", outPutDev: "JACK  system", buffSize: 512, rates: 96000,
                        buffSizeOut: 32, ratesOut: 8000, buffDuplexSize: 64, rateDuplex: 44100 },
              shown: { inputDeviceList: 3, outputDeviceList: 3, inputBufferList: 4, inputRateList: 6,
                       outputBufferList: 0, outputRateList: 0, duplexDeviceList: 0, duplexBufferList: 1,
                       duplexRateList: 3, inputChannels: "2", duplexInputChannels: "8",
                       duplexOutputChannels: "8", inputNameField: "Desk", duplexNameField: "Booth" },
              controller: { inPutDev: "system", inPutDevFullString: "JACK  system", numChannels: 2,
                            sampleRateIn: 48000, outPutDev: "system", outPutDevFullString: "JACK  system",
                            numOutChannels: 2, sampleRate: 48000, inOutPutDev: "Studio Desk",
                            inDuplexSampleRate: "48000" } },
            // Stored values the lists do not hold are kept, with nothing selected.
            { tag: "stored device gone, settings not listed, no duplex device",
              devices: 1,
              stored: { inPutDev: "ALSA  Old Card", buffSize: 100, rates: 12345, buffSizeOut: 4096,
                        ratesOut: 0, buffDuplexSize: 3000, rateDuplex: 44000 },
              shown: { inputDeviceList: 0, inputBufferList: -1, inputRateList: -1, outputBufferList: -1,
                       outputRateList: -1, duplexDeviceList: -1, duplexBufferList: -1,
                       duplexRateList: -1, duplexInputChannels: "" },
              controller: { inPutDev: "USB Mic", numChannels: 1, inOutPutDev: "", buffSize: 100,
                            rates: 12345, buffOutSize: 4096, ratesOut: 0, buffDuplexSize: 3000,
                            rateDuplex: 44000 } }
        ]
    }

    // A number is the list's index, a text the control's text.
    function test_initial_selection(data) {
        open(data.stored, data.devices)
        for (var name in data.shown) {
            var shown = data.shown[name]
            compare(typeof shown === "number" ? control(name).currentIndex : control(name).text, shown, name)
        }
        for (var key in data.controller)
            compare(wrapper[key], data.controller[key], key)
    }

    function test_choices_reach_the_controller_and_the_store() {
        open({ ndiInSourName: "" })
        pick(control("inputDeviceList"), 1)
        pick(control("outputDeviceList"), 2)
        pick(control("inputBufferList"), 5)
        pick(control("inputRateList"), 3)
        pick(control("outputBufferList"), 6)
        pick(control("outputRateList"), 8)
        compare([wrapper.inPutDev, wrapper.inPutDevFullString, wrapper.numChannels, wrapper.sampleRateIn,
                 control("inputChannels").text], ["Studio Desk", "ALSA  Studio Desk", 8, 48000, "8"])
        compare([wrapper.outPutDev, wrapper.numOutChannels, wrapper.sampleRate], ["Speakers", 2, 44100])
        // The name fields write every keystroke.
        var field = control("inputNameField")
        mouseClick(field)
        tryVerify(function() { return field.activeFocus }, patience)
        keyClick(Qt.Key_A)
        compare(wrapper.ndiInSourName, "a")

        showPage(1)
        pick(control("duplexDeviceList"), 1)
        compare([wrapper.inOutPutDev, control("duplexInputChannels").text,
                 control("duplexOutputChannels").text, wrapper.outDuplexSampleRate],
                ["USB Interface", "2", "4", "96000"])
        pick(control("duplexBufferList"), 1)
        pick(control("duplexRateList"), 7)
        field = control("duplexNameField")
        mouseClick(field)
        tryVerify(function() { return field.activeFocus }, patience)
        keyClick(Qt.Key_End)
        keyClick(Qt.Key_2)
        compare(wrapper.ndiInSourNameDuplex, "Booth2")

        // The choices, lists' and fields', are what the controller keeps when it goes.
        window.destroy()
        tryVerify(function() { return Rig.stored().inPutDev === "ALSA  Studio Desk" }, patience)
        var stored = Rig.stored()
        compare([stored.outPutDev, stored.ndiInSourName, stored.ndiInSourNameDuplex],
                ["ALSA  Speakers", "a", "Booth2"])
        compare([Number(stored.buffSize), Number(stored.rates), Number(stored.buffSizeOut),
                 Number(stored.ratesOut), Number(stored.buffDuplexSize), Number(stored.rateDuplex)],
                [1024, 44100, 2048, 192000, 64, 176400])
    }

    function test_source_lists_follow_discovery() {
        open({})
        wrapper.ndiIpDevice = ["10.0.0.1:5961", "10.0.0.2:5961", "10.0.0.3:5961"]
        wrapper.ndiDevice = ["HOST-A (Mic)", "HOST-B (Desk)", "HOST-C (Room)"]
        // Both pages' source lists go to the first entry of a new list.
        compare([control("outputSourceList").currentIndex, wrapper.ndiOutSourceName,
                 wrapper.ndiOutDuplexSourceName, wrapper.ndiDevIp],
                [0, "HOST-A (Mic)", "HOST-A (Mic)", "10.0.0.1:5961"])
        pick(control("outputSourceList"), 2)
        compare([wrapper.ndiOutSourceName, wrapper.ndiDevIp], ["HOST-C (Room)", "10.0.0.3:5961"])
        // Discovery moves the chosen source to the front; the list follows it back to 0.
        wrapper.ndiDevice = ["HOST-C (Room)", "HOST-B (Desk)", "HOST-A (Mic)"]
        compare([control("outputSourceList").currentIndex, wrapper.ndiOutSourceName], [0, "HOST-C (Room)"])
        // An empty list leaves no name and no address.
        wrapper.ndiDevice = []
        compare([wrapper.ndiOutSourceName, wrapper.ndiDevIp], ["", ""])
    }

    // Streams name their devices by place in the rig's studio: 0 is USB Mic, 1 Studio Desk.
    function test_each_switch_runs_its_stream_and_locks_its_lists_data() {
        var inLists = ["inputDeviceList", "inputBufferList", "inputRateList"]
        var outLists = ["outputDeviceList", "outputSourceList", "outputBufferList", "outputRateList"]
        return [
            // One channel of 0.5 over 512 frames: log10(128) rounds to 2.
            { tag: "capture", page: 0, stored: { buffSize: 512, rates: 44100 }, sw: "captureSwitch",
              flag: "checkIn", gauge: "inputGauge", locked: inLists,
              free: outLists.concat(["inputNameField", "playbackSwitch"]),
              stream: { input: 0, inChannels: 1, rate: 44100, frames: 512, output: -1 } },
            { tag: "playback", page: 0, stored: { buffSizeOut: 128, ratesOut: 96000 }, sw: "playbackSwitch",
              flag: "checkOut", gauge: "", locked: outLists, free: inLists,
              stream: { output: 1, outChannels: 8, rate: 96000, frames: 128, input: -1 } },
            // Eight channels of 0.5 over 128 frames: log10(256) rounds to 2.
            { tag: "duplex", page: 1, stored: { buffDuplexSize: 128, rateDuplex: 96000 }, sw: "duplexSwitch",
              flag: "checkInOut", gauge: "duplexInputGauge",
              locked: ["duplexSourceList", "duplexDeviceList", "duplexBufferList", "duplexRateList"],
              free: ["duplexNameField", "inputDeviceList"],
              stream: { input: 1, output: 1, inChannels: 8, outChannels: 8,
                        rate: 96000, frames: 128, callback: true } }
        ]
    }

    function test_each_switch_runs_its_stream_and_locks_its_lists(data) {
        function enabled(names, on) {
            for (var i = 0; i < names.length; ++i)
                compare(control(names[i]).enabled, on, names[i])
        }
        open(data.stored)
        showPage(data.page)
        var sw = control(data.sw)
        mouseClick(sw)
        verify(wrapper[data.flag])
        tryVerify(function() { return Rig.streams().length > 0 }, patience, "no stream opened")
        for (var key in data.stream)
            compare(Rig.streams()[0][key], data.stream[key], key)
        compare([control("tabBar").enabled, control("swipeView").interactive], [false, false])
        enabled(data.locked, false)
        enabled(data.free, true)
        if (data.gauge !== "")
            tryCompare(control(data.gauge), "value", 2, patience)

        mouseClick(sw)
        verify(!wrapper[data.flag])
        tryVerify(function() { return Rig.runningStreams() === 0 }, patience, "a stream kept running")
        // The poller's last word is the stopped level.
        if (data.gauge !== "")
            tryCompare(control(data.gauge), "value", -3, patience)
        compare([control("tabBar").enabled, control("swipeView").interactive], [true, true])
        enabled(data.locked, true)
    }

    // Whole numbers; past its mark (1 for the input, 2.2 for the output) a meter's end is red.
    function test_meters_show_whole_numbers_and_warn_past_their_mark() {
        open({})
        wrapper.level = 2.6
        wrapper.outLevel = 1.6
        var gauges = ["inputGauge", "outputGauge", "duplexInputGauge", "duplexOutputGauge"]
        var ends = ["#ff0000", "#00d100", "#ff0000", "#00d100"]
        for (var i = 0; i < gauges.length; ++i) {
            var gauge = control(gauges[i])
            compare(gauge.value, i % 2 == 0 ? 3 : 2, gauges[i])
            compare(String(findChild(gauge, "valueBar").gradient.stops[0].color), ends[i], gauges[i])
        }
    }
}
