import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

SceneCase {
    name: "DuplexPage"

    // The controller takes the first device that records and plays; the page shows its channels.
    function test_initial_selection_data() {
        return [
            { tag: "studio", devices: undefined, device: 0, name: "Studio Desk", inCh: "8", outCh: "8", rate: "48000" },
            { tag: "no duplex device", devices: [{ api: "ALSA", name: "USB Mic", inputs: 1, outputs: 0, rate: 44100 }],
              device: -1, name: "", inCh: "", outCh: "", rate: "" }
        ]
    }

    // Stored values the lists do not hold are kept, with nothing selected.
    function test_initial_selection(data) {
        open({ buffDuplexSize: 3000, rateDuplex: 44000 }, data.devices)
        compare(control("duplexDeviceList").currentIndex, data.device)
        compare(wrapper.inOutPutDev, data.name)
        compare(control("duplexInputChannels").text, data.inCh)
        compare(control("duplexOutputChannels").text, data.outCh)
        compare(wrapper.inDuplexSampleRate, data.rate)
        compare(control("duplexNameField").text, "Booth")
        compare([control("duplexBufferList").currentIndex, control("duplexRateList").currentIndex],
                [-1, -1])
        compare([wrapper.buffDuplexSize, wrapper.rateDuplex], [3000, 44000])
    }

    function test_controls_reach_the_controller() {
        open({})
        showPage(1)
        pick(control("duplexDeviceList"), 1)
        compare(wrapper.inOutPutDev, "USB Interface")
        compare(control("duplexInputChannels").text, "2")
        compare(control("duplexOutputChannels").text, "4")
        compare(wrapper.outDuplexSampleRate, "96000")

        pick(control("duplexBufferList"), 1)
        pick(control("duplexRateList"), 7)
        compare([wrapper.buffDuplexSize, wrapper.rateDuplex], [64, 176400])

        wrapper.ndiDevice = ["HOST-A (Mic)", "HOST-B (Desk)"]
        pick(control("duplexSourceList"), 1)
        compare(wrapper.ndiOutDuplexSourceName, "HOST-B (Desk)")

        var field = control("duplexNameField")
        mouseClick(field)
        tryVerify(function() { return field.activeFocus }, patience)
        keyClick(Qt.Key_End)
        keyClick(Qt.Key_2)
        compare(wrapper.ndiInSourNameDuplex, "Booth2")

        window.destroy()
        tryVerify(function() { return Rig.stored().ndiInSourNameDuplex === "Booth2" }, patience)
        compare([Number(Rig.stored().buffDuplexSize), Number(Rig.stored().rateDuplex)], [64, 176400])
    }

    function test_switch_runs_the_stream_and_locks_page_and_tabs() {
        open({ buffDuplexSize: 128, rateDuplex: 96000 })
        showPage(1)
        var sw = control("duplexSwitch")
        mouseClick(sw)
        verify(wrapper.checkInOut)
        var stream = openedStream(1)
        compare([stream.input, stream.output, stream.inChannels, stream.outChannels, stream.rate,
                 stream.frames, stream.callback],
                ["Studio Desk", "Studio Desk", 8, 8, 96000, 128, true])
        var lists = ["duplexSourceList", "duplexDeviceList", "duplexBufferList", "duplexRateList"]
        for (var i = 0; i < lists.length; ++i)
            verify(!control(lists[i]).enabled, lists[i])
        verify(control("duplexNameField").enabled)
        verify(!control("tabBar").enabled)
        verify(!control("swipeView").interactive)
        // The one-way page's lists are not this switch's business.
        verify(control("inputDeviceList").enabled)
        // Eight channels of 0.5 over 128 frames: log10(256) rounds to 2.
        tryCompare(control("duplexInputGauge"), "value", 2, patience)

        mouseClick(sw)
        verify(!wrapper.checkInOut)
        waitAllStopped()
        for (i = 0; i < lists.length; ++i)
            verify(control(lists[i]).enabled, lists[i])
        verify(control("tabBar").enabled)
        verify(control("swipeView").interactive)
    }
}
