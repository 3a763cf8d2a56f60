// One device scan run to its end, with the lists its signals carried.
#pragma once

#include "ScanDevice.h"

using ScanLists = ScannedDevices;

inline ScanLists scanDevices()
{
    ScanDevice scanner;
    return collectScan(scanner);
}
