// List of the NDI sources found on the network. It goes back to its first entry whenever
// discovery delivers a new list; each change of choice first tells the controller the index,
// which reaches the discovery thread, then reports the chosen name.
import QtQuick 2.15

ChoiceList {
    id: control

    signal sourceChosen(string name)

    // The index and name last reported, so that a new list whose first entry is unchanged
    // is not reported twice.
    property string reported: "-1\n"

    longNames: true
    model: wrapper.ndiDevice

    function report() {
        // currentText still holds the old name while currentIndexChanged is delivered.
        var name = currentIndex < 0 ? "" : textAt(currentIndex)
        var key = currentIndex + "\n" + name
        if (key === reported)
            return
        reported = key
        wrapper.ndiDevIp = currentIndex
        sourceChosen(name)
    }

    onCurrentIndexChanged: report()
    onCurrentTextChanged: report()
}
