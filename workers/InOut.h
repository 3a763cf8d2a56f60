// Runs the duplex stream: one blocking process_duplex() call per start, on one device that
// records and plays.
//
// Owns copies of the stream's parameters, written by setParams() on the GUI thread before the
// owner calls start(); run() reads them once, on the worker thread, before the engine call.
// The stream ends only through stopAudioDuplex().
#pragma once

#include <QString>
#include <QThread>

class InOut : public QThread
{
    Q_OBJECT

public:
    explicit InOut(QObject *parent = nullptr);
    ~InOut() override;

    // GUI thread. Copies the arguments; no validation.
    void setParams(QString device, QString ndiSendName, QString ndiReceiveSource, float gainDb,
                   unsigned int framesPerBuffer, unsigned int sampleRate);

protected:
    void run() override;

private:
    QString m_device;
    QString m_ndiSendName;
    QString m_ndiReceiveSource;
    float m_gainDb = 0.0f;
    unsigned int m_framesPerBuffer = 0;
    unsigned int m_sampleRate = 0;
};
