// Watches the network for NDI sources for the life of the controller and publishes their names
// and addresses. Owns the NDI runtime's initialisation (from the start of run() to its end)
// and the finder.
//
// Threads: the lists and the finder belong to this thread's run(); the signals carry copies
// and reach the GUI thread queued. The running flag and the current index are written from
// the GUI thread and read here, hence atomic.
#pragma once

#include "NdiLib.h"

#include <QStringList>
#include <QThread>
#include <atomic>

class NDIScan : public QThread
{
    Q_OBJECT

public:
    explicit NDIScan(QObject *parent = nullptr);
    ~NDIScan() override;

    void startThread();
    // Returns at once; the loop ends after the current wait (up to 1 s) and pause (100 ms).
    void stopThread();

    // Scan thread (or a caller that owns the object while no thread runs).
    void initNDIDevice();
    void destroyNDIDevices();
    // One discovery step: waits up to 1 s for a change, then updates the lists from the first
    // 1000 sources the finder reports. True when the lists are to be published; the thread
    // publishes them at most twice a second.
    bool enumerateNDIDevice();
    // The step's merge, on any thread: updates `names` and `addresses` from the first 1000 of
    // `count` sources; `current` is the chosen source's position, kept first. A change that
    // keeps the number of sources is not reflected, and fewer sources only drop the ones gone.
    // True when the lists are to be published.
    static bool mergeSources(QStringList &names, QStringList &addresses,
                             const NDIlib_source_t *sources, uint32_t count, int current);

public slots:
    // The position, in the list last published, of the source chosen in the user interface.
    void setCurrentDevIndex(int const &index);

signals:
    void ndiDeviceChange(QStringList names);
    void ndiDevIp(QStringList addresses);

protected:
    void run() override;

private:
    std::atomic<bool> m_running{false};
    QStringList m_names;
    QStringList m_addresses;
    NDIlib_find_instance_t m_finder = nullptr;
    std::atomic<int> m_currentIndex{0};
    bool m_initialised = false;
};
