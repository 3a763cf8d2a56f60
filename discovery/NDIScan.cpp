#include "NDIScan.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSet>
#include <algorithm>

namespace {
constexpr uint32_t kWaitMs = 1000;
constexpr unsigned long kPauseMs = 100;
// A network never has this many sources a person could choose from; past it the finder's
// list is a flood, and only its first entries are looked at.
constexpr uint32_t kMaxSources = 1000;
// The whole list goes to the GUI thread on every change. A list that changes on every pass
// (a flood) would otherwise go about nine times a second; twice is enough to follow it.
constexpr qint64 kMinPublishIntervalMs = 500;
} // namespace

NDIScan::NDIScan(QObject *parent) : QThread(parent) {}

NDIScan::~NDIScan()
{
    m_running.store(false);
    wait();
}

void NDIScan::startThread()
{
    m_running.store(true);
    start(QThread::InheritPriority);
}

void NDIScan::stopThread()
{
    m_running.store(false);
}

void NDIScan::setCurrentDevIndex(int const &index)
{
    m_currentIndex.store(index);
}

void NDIScan::initNDIDevice()
{
    m_initialised = NDIlib_initialize();
    if (m_initialised)
        m_finder = NDIlib_find_create_v2(nullptr);
}

void NDIScan::destroyNDIDevices()
{
    if (m_finder != nullptr)
        NDIlib_find_destroy(m_finder);
    m_finder = nullptr;
    if (m_initialised)
        NDIlib_destroy();
    m_initialised = false;
}

bool NDIScan::enumerateNDIDevice()
{
    if (m_finder == nullptr || !NDIlib_find_wait_for_sources(m_finder, kWaitMs))
        return false;

    uint32_t count = 0;
    const NDIlib_source_t *sources = NDIlib_find_get_current_sources(m_finder, &count);
    return mergeSources(m_names, m_addresses, sources, count, m_currentIndex.load());
}

bool NDIScan::mergeSources(QStringList &names, QStringList &addresses,
                           const NDIlib_source_t *sources, uint32_t count, int current)
{
    if (count == 0 || sources == nullptr) {
        names.clear();
        addresses.clear();
        return true;
    }

    count = std::min(count, kMaxSources);
    QStringList found;
    found.reserve(static_cast<int>(count));
    for (uint32_t i = 0; i < count; ++i)
        found.append(QString::fromUtf8(sources[i].p_ndi_name));

    const int known = names.size();
    const int n = static_cast<int>(count);
    // A change that keeps the number of sources (one gone, one come) is not reflected.
    if (n == known)
        return false;

    if (n > known) {
        QSet<QString> listed(names.begin(), names.end());
        for (uint32_t i = 0; i < count; ++i) {
            const QString &name = found.at(static_cast<int>(i));
            if (listed.contains(name))
                continue;
            listed.insert(name);
            addresses.append(QString::fromUtf8(sources[i].p_url_address));
            names.append(name);
            // Keep the source chosen in the user interface first: its menu goes back to the
            // first entry whenever the list changes. An index off the list swaps nothing.
            if (names.size() >= 2 && current >= 0 && current < names.size()) {
                names.swapItemsAt(0, current);
                addresses.swapItemsAt(0, current);
            }
        }
        return true;
    }

    // Fewer sources: drop the ones gone, keep the order of the rest; new ones wait.
    const QSet<QString> present(found.begin(), found.end());
    for (int k = names.size() - 1; k >= 0; --k) {
        if (!present.contains(names.at(k))) {
            names.removeAt(k);
            addresses.removeAt(k);
        }
    }
    return true;
}

void NDIScan::run()
{
    initNDIDevice();
    if (m_finder == nullptr) {
        // Without a runtime there is nothing to watch; stay responsive to stopThread().
        if (m_initialised)
            qWarning("NDI source discovery unavailable: no NDI finder could be created.");
        else
            qWarning("NDI source discovery unavailable: the NDI runtime did not initialise.");
        while (m_running.load())
            QThread::msleep(kWaitMs);
        destroyNDIDevices();
        return;
    }
    QElapsedTimer sincePublished;
    bool pending = false; // the lists changed since they were last published
    while (m_running.load()) {
        pending = enumerateNDIDevice() || pending;
        if (pending
            && (!sincePublished.isValid() || sincePublished.elapsed() >= kMinPublishIntervalMs)) {
            emit ndiDeviceChange(m_names);
            if (!m_addresses.isEmpty())
                emit ndiDevIp(m_addresses);
            sincePublished.start();
            pending = false;
        }
        QThread::msleep(kPauseMs);
    }
    destroyNDIDevices();
}
