// One device scan run to its end, with the lists its signals carried and the order they came in.
#pragma once

#include "ScanDevice.h"

#include <QList>
#include <QStringList>

struct ScanLists {
    QStringList order; // the signals' names in arrival order
    QStringList in, out, chin, chout, inOut;
    QList<double> inRates, outRates;
};

inline ScanLists scanDevices()
{
    ScanDevice scanner;
    ScanLists s;
    QObject::connect(&scanner, &ScanDevice::toDevList,
                     [&s](const QStringList &in, const QStringList &out, const QStringList &chin,
                          const QStringList &chout, const QList<double> &inRates,
                          const QList<double> &outRates) {
                         s.order << QStringLiteral("toDevList");
                         s.in = in;
                         s.out = out;
                         s.chin = chin;
                         s.chout = chout;
                         s.inRates = inRates;
                         s.outRates = outRates;
                     });
    QObject::connect(&scanner, &ScanDevice::toInOutDev, [&s](const QStringList &inOut) {
        s.order << QStringLiteral("toInOutDev");
        s.inOut = inOut;
    });
    scanner.scan();
    return s;
}
