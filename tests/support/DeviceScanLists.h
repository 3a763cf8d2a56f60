// One device scan run to its end, with the lists its signals carried and the order they came in.
#pragma once

#include "ScanDevice.h"

#include <QStringList>

struct ScanLists : ScannedDevices {
    QStringList order; // the signals' names in arrival order
};

inline ScanLists scanDevices()
{
    ScanDevice scanner;
    ScanLists s;
    QObject::connect(&scanner, &ScanDevice::toDevList,
                     [&s] { s.order << QStringLiteral("toDevList"); });
    QObject::connect(&scanner, &ScanDevice::toInOutDev,
                     [&s] { s.order << QStringLiteral("toInOutDev"); });
    static_cast<ScannedDevices &>(s) = collectScan(scanner);
    return s;
}
