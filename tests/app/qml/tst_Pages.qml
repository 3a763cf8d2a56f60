import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

SceneCase {
    name: "Pages"

    // A number is the list's index, a text the control's text.
    function shows(shown, controller) {
        for (var name in shown)
            compare(typeof shown[name] === "number" ? control(name).currentIndex : control(name).text,
                    shown[name], name)
        for (var key in controller)
            compare(wrapper[key], controller[key], key)
    }

    // Stored values the lists do not hold are kept, with nothing selected.
    function test_stored_values_not_listed_are_kept() {
        open({ inPutDev: "ALSA  Old Card", buffSize: 100, rates: 12345, buffSizeOut: 4096, ratesOut: 0,
               buffDuplexSize: 3000, rateDuplex: 44000 }, 1)
        shows({ inputDeviceList: 0, inputBufferList: -1, inputRateList: -1, outputBufferList: -1,
                outputRateList: -1, duplexDeviceList: -1, duplexBufferList: -1, duplexRateList: -1,
                duplexInputChannels: "" },
              { inPutDev: "USB Mic", numChannels: 1, inOutPutDev: "", buffSize: 100, rates: 12345,
                buffOutSize: 4096, ratesOut: 0, buffDuplexSize: 3000, rateDuplex: 44000 })
    }

    // The stored choices are shown; the user's choices, lists' and fields', reach the controller
    // and are what it stores when it goes.
    function test_stored_and_chosen_settings() {
        open({ inPutDev: "JACK  system", outPutDev: "JACK  system", buffSize: 512, rates: 96000,
               buffSizeOut: 32, ratesOut: 8000, buffDuplexSize: 64, rateDuplex: 44100 })
        shows({ inputDeviceList: 3, outputDeviceList: 3, inputBufferList: 4, inputRateList: 6,
                outputBufferList: 0, outputRateList: 0, duplexDeviceList: 0, duplexBufferList: 1,
                duplexRateList: 3, inputChannels: "2", duplexInputChannels: "8",
                duplexOutputChannels: "8", inputNameField: "Desk", duplexNameField: "Booth" },
              { inPutDev: "system", inPutDevFullString: "JACK  system", numChannels: 2,
                sampleRateIn: 48000, outPutDev: "system", outPutDevFullString: "JACK  system",
                numOutChannels: 2, sampleRate: 48000, inOutPutDev: "Studio Desk",
                inDuplexSampleRate: "48000" })
        var picks = { inputDeviceList: 1, outputDeviceList: 2, inputBufferList: 5, inputRateList: 3,
                      outputBufferList: 6, outputRateList: 8 }
        for (var name in picks)
            pick(control(name), picks[name])
        shows({ inputChannels: "8" }, { inPutDev: "Studio Desk", inPutDevFullString: "ALSA  Studio Desk",
                                        numChannels: 8, sampleRateIn: 48000, outPutDev: "Speakers",
                                        numOutChannels: 2, sampleRate: 44100 })
        // The name fields write every keystroke.
        typeInto("inputNameField", [Qt.Key_End, Qt.Key_A])
        compare(wrapper.ndiInSourName, "Deska")
        showPage(1)
        pick(control("duplexDeviceList"), 1)
        shows({ duplexInputChannels: "2", duplexOutputChannels: "4" },
              { inOutPutDev: "USB Interface", outDuplexSampleRate: "96000" })
        pick(control("duplexBufferList"), 1)
        pick(control("duplexRateList"), 7)
        typeInto("duplexNameField", [Qt.Key_End, Qt.Key_2])
        compare(wrapper.ndiInSourNameDuplex, "Booth2")

        window.destroy()
        tryVerify(function() { return Rig.stored().inPutDev === "ALSA  Studio Desk" }, patience)
        var stored = Rig.stored()
        compare([stored.outPutDev, stored.ndiInSourName, stored.ndiInSourNameDuplex],
                ["ALSA  Speakers", "Deska", "Booth2"])
        compare([stored.buffSize, stored.rates, stored.buffSizeOut, stored.ratesOut, stored.buffDuplexSize,
                 stored.rateDuplex].map(Number), [1024, 44100, 2048, 192000, 64, 176400])
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
    // A device that goes away leaves the switch on and the page saying so until it is back.
    // Gauges: one channel of 0.5 over 512 frames, log10(128), and eight over 128 frames,
    // log10(256), both round to 2.
    function test_each_switch_runs_its_stream_and_locks_its_lists_data() {
        var inLists = ["inputDeviceList", "inputBufferList", "inputRateList"]
        var outLists = ["outputDeviceList", "outputSourceList", "outputBufferList", "outputRateList"]
        return [
            { tag: "capture", page: 0, stored: { buffSize: 512, rates: 44100 }, sw: "captureSwitch",
              flag: "checkIn", gauge: "inputGauge", locked: inLists, device: "USB Mic", state: "inputDeviceState",
              free: outLists.concat(["inputNameField", "playbackSwitch"]), stream: "in 0:1 out - 44100 Hz 512" },
            { tag: "playback", page: 0, stored: { buffSizeOut: 128, ratesOut: 96000 }, sw: "playbackSwitch",
              flag: "checkOut", locked: outLists, device: "Studio Desk", state: "outputDeviceState", free: inLists, stream: "in - out 1:8 96000 Hz 128" },
            { tag: "duplex", page: 1, stored: { buffDuplexSize: 128, rateDuplex: 96000 }, sw: "duplexSwitch",
              flag: "checkInOut", gauge: "duplexInputGauge", device: "Studio Desk", state: "duplexDeviceState",
              locked: ["duplexSourceList", "duplexDeviceList", "duplexBufferList", "duplexRateList"],
              free: ["duplexNameField", "inputDeviceList"], stream: "in 1:8 out 1:8 96000 Hz 128" }
        ]
    }

    function test_each_switch_runs_its_stream_and_locks_its_lists(data) {
        function expect(on) {
            compare([control("tabBar").enabled, control("swipeView").interactive], [!on, !on])
            for (var name of data.locked.concat(on ? data.free : []))
                compare(control(name).enabled, !on || data.free.indexOf(name) >= 0, name)
        }
        open(data.stored)
        showPage(data.page)
        mouseClick(control(data.sw))
        verify(wrapper[data.flag])
        tryVerify(function() { return Rig.streams().length > 0 }, patience, "no stream opened")
        compare(Rig.streams()[0], data.stream)
        expect(true)
        if (data.gauge)
            tryCompare(control(data.gauge), "value", 2, patience)
        Rig.plug(data.device, false)
        tryCompare(control(data.state), "text", "Device went away: waiting for it to return", patience)
        Rig.plug(data.device, true)
        tryCompare(control(data.state), "text", "", patience)
        verify(wrapper[data.flag])
        mouseClick(control(data.sw))
        verify(!wrapper[data.flag])
        tryVerify(function() { return Rig.runningStreams() === 0 }, patience, "a stream kept running")
        // The poller's last word is the stopped level.
        if (data.gauge)
            tryCompare(control(data.gauge), "value", -3, patience)
        expect(false)
    }

    // Whole numbers; past its mark (1 for the input, 2.2 for the output) a meter's end is red.
    function test_meters_show_whole_numbers_and_warn_past_their_mark() {
        open({})
        wrapper.level = 2.6
        wrapper.outLevel = 1.6
        var gauges = ["inputGauge", "outputGauge", "duplexInputGauge", "duplexOutputGauge"]
        for (var i = 0; i < gauges.length; ++i) {
            var gauge = control(gauges[i])
            compare([gauge.value, String(findChild(gauge, "valueBar").gradient.stops[0].color)],
                    i % 2 == 0 ? [3, "#ff0000"] : [2, "#00d100"], gauges[i])
        }
    }
}
