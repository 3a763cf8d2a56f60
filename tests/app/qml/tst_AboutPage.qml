import QtQuick 2.15
import QtTest 1.15
import Veltrin.Test 1.0

SceneCase {
    name: "AboutPage"

    function test_versions() {
        open({})
        compare(control("interfaceVersion").text, "INTERFACE v1.2.5")
        compare(control("engineVersion").text, "ENGINE v2.1.3 DLL")
        // The runtime's version phrase ends in its number, which is all the page shows.
        verify(/^[0-9]/.test(wrapper.version), wrapper.version)
        compare(control("ndiVersion").text,
                "NDI LIBRARY v" + wrapper.version + (wrapper.ndiBuiltIn ? " built-in" : ""))
        wrapper.version = "6.0.0"
        wrapper.ndiBuiltIn = false
        compare(control("ndiVersion").text, "NDI LIBRARY v6.0.0")
        // Veltrin's own runtime says so.
        wrapper.ndiBuiltIn = true
        compare(control("ndiVersion").text, "NDI LIBRARY v6.0.0 built-in")
    }

    function test_agreement_scrolls_and_cannot_be_edited() {
        open({})
        showPage(2)
        var text = control("agreement")
        var view = control("agreementView")
        verify(text.readOnly)
        verify(text.text.indexOf("MIT License") >= 0)
        verify(text.text.indexOf("END-USER AGREEMENT") === 0)
        verify(view.contentHeight > view.height)
        compare(view.contentY, 0)
        mouseWheel(view, view.width / 2, view.height / 2, 0, -360)
        tryVerify(function() { return view.contentY > 0 }, patience)
        var before = text.text
        mouseClick(text)
        keyClick(Qt.Key_X)
        compare(text.text, before)
    }
}
