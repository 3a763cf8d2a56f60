// Two-way page: one device that records and plays at once. Its capture is published as an NDI
// source while a received NDI source plays on it. The meters show the one-way page's levels.
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

Page {
    id: page

    readonly property var bufferSizes: [32, 64, 128, 256, 512, 1024, 2048]
    readonly property var sampleRates: ["8000", "22050", "24000", "44100", "48000", "88200",
                                        "96000", "176400", "192000"]

    background: Item {}

    Column {
        id: column
        anchors.centerIn: parent
        spacing: 50
        topPadding: 60

        FrameBox {
            GridLayout {
                columns: 2
                columnSpacing: 20
                rowSpacing: 20

                RunSwitch {
                    id: duplexSwitch
                    objectName: "duplexSwitch"
                    Layout.preferredWidth: 300
                    Layout.preferredHeight: 30
                    text: "NDI to/from Audio Device"
                    onClicked: {
                        wrapper.checkInOut = checked
                        if (checked)
                            wrapper.startInOutThread()
                        else
                            wrapper.stopInOutThread()
                        wrapper.blockTabbar(checked)
                        sourceList.enabled = !checked
                        deviceList.enabled = !checked
                        bufferList.enabled = !checked
                        rateList.enabled = !checked
                        swipeView.interactive = !checked
                    }
                }

                SourceList {
                    id: sourceList
                    objectName: "duplexSourceList"
                    Layout.preferredWidth: 300
                    Layout.preferredHeight: 52
                    tooltipThreshold: 48
                    onSourceChosen: wrapper.ndiOutDuplexSourceName = name
                }

                ChoiceList {
                    id: deviceList
                    objectName: "duplexDeviceList"
                    Layout.preferredWidth: 450
                    Layout.preferredHeight: 52
                    backgroundWidth: 160
                    longNames: true
                    tooltipThreshold: 48
                    centredTooltip: true
                    model: wrapper.inOutPutDevice

                    property bool ready: false
                    function choose() {
                        if (currentIndex < 0)
                            return
                        wrapper.inOutPutDev = textAt(currentIndex)
                        wrapper.duplexChannelsSamplerate()
                    }
                    onCurrentIndexChanged: if (ready) choose()
                    Component.onCompleted: {
                        currentIndex = wrapper.inOutPutDevice.indexOf(wrapper.inOutPutDev)
                        ready = true
                        choose()
                    }
                }

                SourceNameField {
                    objectName: "duplexNameField"
                    Component.onCompleted: text = wrapper.ndiInSourNameDuplex
                    onTextChanged: wrapper.ndiInSourNameDuplex = text
                }

                DeviceState {
                    objectName: "duplexDeviceState"
                    text: wrapper.duplexDeviceState
                }
            }
        }

        Rectangle {
            color: "transparent"
            width: column.width
            height: page.height / 2 - 42

            Row {
                leftPadding: 10
                spacing: 40

                Column {
                    Text {
                        width: 50
                        text: "Input"
                        color: "white"
                        font.family: fixedFont.name
                        font.pointSize: wrapper.isMacOS ? 15 : 11
                        horizontalAlignment: Text.AlignHCenter
                    }
                    Item {
                        width: 50
                        height: 100
                        LevelGauge {
                            objectName: "duplexInputGauge"
                            width: 50
                            height: 170
                            minimumValue: -3
                            maximumValue: 5
                            value: simple.inputValue
                            warning: 1
                        }
                    }
                }

                Column {
                    Text {
                        x: -10
                        width: 50
                        text: "Output"
                        color: "white"
                        font.family: fixedFont.name
                        font.pointSize: wrapper.isMacOS ? 15 : 11
                        horizontalAlignment: Text.AlignHCenter
                    }
                    Item {
                        width: 50
                        height: 150
                        LevelGauge {
                            objectName: "duplexOutputGauge"
                            width: 50
                            height: 170
                            minimumValue: -3
                            maximumValue: 5
                            value: simple.outputValue
                            warning: 2.2
                        }
                    }
                }

                Item {
                    width: column.width - 200
                    height: settingsBox.height

                    FrameBox {
                        id: settingsBox
                        anchors.horizontalCenter: parent.horizontalCenter
                        title: "Settings: "
                        labelCentred: true

                        GridLayout {
                            columns: 4
                            columnSpacing: 10

                            SettingLabel { text: "Input Channels: " }
                            ChannelCount {
                                objectName: "duplexInputChannels"
                                text: wrapper.inDuplexCh
                            }
                            SettingLabel { text: "Buffer size: " }
                            ChoiceList {
                                id: bufferList
                                objectName: "duplexBufferList"
                                Layout.preferredHeight: 30
                                model: page.bufferSizes
                                Component.onCompleted: currentIndex = page.bufferSizes.indexOf(wrapper.buffDuplexSize)
                                onActivated: wrapper.buffDuplexSize = page.bufferSizes[index]
                            }

                            SettingLabel { text: "Output Channels: " }
                            ChannelCount {
                                objectName: "duplexOutputChannels"
                                text: wrapper.outDuplexCh
                            }
                            SettingLabel { text: "Sample Rate: " }
                            ChoiceList {
                                id: rateList
                                objectName: "duplexRateList"
                                Layout.preferredHeight: 30
                                model: page.sampleRates
                                Component.onCompleted: currentIndex = page.sampleRates.indexOf(String(wrapper.rateDuplex))
                                onActivated: wrapper.rateDuplex = parseInt(page.sampleRates[index], 10)
                            }
                        }
                    }
                }
            }
        }
    }
}
