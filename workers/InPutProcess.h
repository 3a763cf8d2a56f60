// Runs the capture-to-NDI stream: one blocking process_input() call per start.
//
// Owns copies of the stream's parameters. setParams() and the start run on the GUI thread;
// run() reads the parameters once, on the worker thread, before the engine call, so the two
// never overlap as long as setParams() is not called while a start is in progress. The stream
// ends only through stopAudioInput(); the running flag does not end it.
#pragma once

#include <QString>
#include <QThread>
#include <atomic>

class InPutProcess : public QThread
{
    Q_OBJECT

public:
    explicit InPutProcess(QObject *parent = nullptr);
    ~InPutProcess() override;

    // GUI thread. Copies the arguments; no validation.
    void setParams(QString device, QString ndiName, float gainDb, unsigned int framesPerBuffer,
                   unsigned int sampleRate);
    void startThread();
    void stopThread();

protected:
    void run() override;

private:
    std::atomic<bool> m_running{false};
    QString m_device;
    QString m_ndiName;
    float m_gainDb = 0.0f;
    unsigned int m_framesPerBuffer = 0;
    unsigned int m_sampleRate = 0;
};
