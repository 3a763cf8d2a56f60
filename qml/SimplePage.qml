// One-way page: capture an input device to an NDI source on the left, play an NDI source on an
// output device on the right. Each switch writes its run flag first, then starts or stops the
// stream and locks or frees its own side's lists, the tab bar and swiping.
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

Page {
    id: page

    property real inputValue: -3
    property real outputValue: -3

    readonly property var bufferSizes: [32, 64, 128, 256, 512, 1024, 2048]
    readonly property var sampleRates: ["8000", "22050", "24000", "44100", "48000", "88200",
                                        "96000", "176400", "192000"]

    background: Item {}

    RowLayout {
        anchors.fill: parent
        spacing: 6

        Rectangle {
            color: "transparent"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.preferredWidth: 1

            ColumnLayout {
                anchors.horizontalCenter: parent.horizontalCenter
                y: 150
                spacing: 20

                FrameBox {
                    GridLayout {
                        columns: 2

                        Item {
                            Layout.preferredWidth: 150
                            Layout.preferredHeight: 50
                            LevelGauge {
                                objectName: "inputGauge"
                                anchors.verticalCenter: parent.verticalCenter
                                width: 150
                                orientation: Qt.Horizontal
                                minimumValue: -3
                                maximumValue: 3
                                value: page.inputValue
                                warning: 1
                            }
                        }

                        RunSwitch {
                            id: captureSwitch
                            objectName: "captureSwitch"
                            Layout.preferredWidth: 270
                            Layout.preferredHeight: 50
                            text: "Audio Device IN to NDI"
                            onClicked: {
                                wrapper.checkIn = checked
                                if (checked)
                                    wrapper.startInThread()
                                else
                                    wrapper.stopInThread()
                                wrapper.blockTabbar(checked)
                                inputDeviceList.enabled = !checked
                                inputBufferList.enabled = !checked
                                inputRateList.enabled = !checked
                                swipeView.interactive = !checked
                            }
                        }

                        ChoiceList {
                            id: inputDeviceList
                            objectName: "inputDeviceList"
                            Layout.columnSpan: 2
                            Layout.preferredWidth: 425
                            Layout.preferredHeight: 52
                            longNames: true
                            minimumTextSize: 10
                            tooltipThreshold: 50
                            model: wrapper.inPutDevice

                            property bool ready: false
                            function choose() {
                                if (currentIndex < 0)
                                    return
                                wrapper.numChannels = currentIndex
                                wrapper.sampleRateIn = currentIndex
                                wrapper.inPutDev = textAt(currentIndex)
                                wrapper.inPutDevFullString = textAt(currentIndex)
                            }
                            onCurrentIndexChanged: if (ready) choose()
                            Component.onCompleted: {
                                currentIndex = Math.max(0, wrapper.inPutDevice.indexOf(wrapper.inPutDevFullString))
                                ready = true
                                choose()
                            }
                        }

                        SourceNameField {
                            objectName: "inputNameField"
                            Layout.columnSpan: 2
                            Component.onCompleted: text = wrapper.ndiInSourName
                            onTextChanged: wrapper.ndiInSourName = text
                        }

                        DeviceState {
                            objectName: "inputDeviceState"
                            text: wrapper.inDeviceState
                        }
                    }
                }

                FrameBox {
                    title: "Input Settings: "
                    labelIndent: 70
                    Layout.alignment: Qt.AlignRight

                    GridLayout {
                        columns: 2

                        SettingLabel { text: "Buffer size: " }
                        ChoiceList {
                            id: inputBufferList
                            objectName: "inputBufferList"
                            Layout.preferredHeight: 30
                            model: page.bufferSizes
                            Component.onCompleted: currentIndex = page.bufferSizes.indexOf(wrapper.buffSize)
                            onActivated: wrapper.buffSize = page.bufferSizes[index]
                        }

                        SettingLabel { text: "Sample Rate: " }
                        ChoiceList {
                            id: inputRateList
                            objectName: "inputRateList"
                            Layout.preferredHeight: 30
                            model: page.sampleRates
                            Component.onCompleted: currentIndex = page.sampleRates.indexOf(String(wrapper.rates))
                            onActivated: wrapper.rates = parseInt(page.sampleRates[index], 10)
                        }

                        SettingLabel { text: "Channels: " }
                        ChannelCount {
                            objectName: "inputChannels"
                            text: wrapper.numChannels
                        }
                    }
                }
            }
        }

        Rectangle {
            color: "transparent"
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.preferredWidth: 1

            ColumnLayout {
                anchors.horizontalCenter: parent.horizontalCenter
                y: 150
                spacing: 20

                FrameBox {
                    GridLayout {
                        columns: 2

                        Item {
                            Layout.preferredWidth: 150
                            Layout.preferredHeight: 50
                            LevelGauge {
                                objectName: "outputGauge"
                                anchors.verticalCenter: parent.verticalCenter
                                width: 150
                                orientation: Qt.Horizontal
                                minimumValue: -3
                                maximumValue: 5
                                value: page.outputValue
                                warning: 2.2
                            }
                        }

                        RunSwitch {
                            id: playbackSwitch
                            objectName: "playbackSwitch"
                            Layout.preferredWidth: 270
                            Layout.preferredHeight: 50
                            text: "NDI to Audio Device OUT"
                            onClicked: {
                                wrapper.checkOut = checked
                                if (checked)
                                    wrapper.startOutThread()
                                else
                                    wrapper.stopOutThread()
                                wrapper.blockTabbar(checked)
                                outputDeviceList.enabled = !checked
                                sourceList.enabled = !checked
                                outputBufferList.enabled = !checked
                                outputRateList.enabled = !checked
                                swipeView.interactive = !checked
                            }
                        }

                        ChoiceList {
                            id: outputDeviceList
                            objectName: "outputDeviceList"
                            Layout.columnSpan: 2
                            Layout.preferredWidth: 425
                            Layout.preferredHeight: 52
                            longNames: true
                            tooltipThreshold: 50
                            model: wrapper.outPutDevice

                            property bool ready: false
                            function choose() {
                                if (currentIndex < 0)
                                    return
                                wrapper.numOutChannels = currentIndex
                                wrapper.sampleRate = currentIndex
                                wrapper.outPutDev = textAt(currentIndex)
                                wrapper.outPutDevFullString = textAt(currentIndex)
                            }
                            onCurrentIndexChanged: if (ready) choose()
                            Component.onCompleted: {
                                currentIndex = Math.max(0, wrapper.outPutDevice.indexOf(wrapper.outPutDevFullString))
                                ready = true
                                choose()
                            }
                        }

                        SourceList {
                            id: sourceList
                            objectName: "outputSourceList"
                            Layout.columnSpan: 2
                            Layout.preferredWidth: 425
                            Layout.preferredHeight: 52
                            tooltipThreshold: 50
                            onSourceChosen: wrapper.ndiOutSourceName = name
                        }

                        DeviceState {
                            objectName: "outputDeviceState"
                            text: wrapper.outDeviceState
                        }
                    }
                }

                FrameBox {
                    title: "Output Settings: "
                    labelIndent: 70
                    Layout.alignment: Qt.AlignLeft

                    GridLayout {
                        columns: 2

                        SettingLabel { text: "Buffer size: " }
                        ChoiceList {
                            id: outputBufferList
                            objectName: "outputBufferList"
                            Layout.preferredHeight: 30
                            model: page.bufferSizes
                            Component.onCompleted: currentIndex = page.bufferSizes.indexOf(wrapper.buffOutSize)
                            onActivated: wrapper.buffOutSize = page.bufferSizes[index]
                        }

                        SettingLabel { text: "Sample Rate: " }
                        ChoiceList {
                            id: outputRateList
                            objectName: "outputRateList"
                            Layout.preferredHeight: 30
                            model: page.sampleRates
                            Component.onCompleted: currentIndex = page.sampleRates.indexOf(String(wrapper.ratesOut))
                            onActivated: wrapper.ratesOut = parseInt(page.sampleRates[index], 10)
                        }

                        SettingLabel { text: "Channels: " }
                        ChannelCount {
                            objectName: "outputChannels"
                            text: wrapper.numOutChannels
                        }
                    }
                }
            }
        }
    }
}
