// Meter poller of the captured audio: reads the engine's `input_aud` tap (see LevelPoller).
// Created by the controller with itself as parent; runs while a stream that feeds the tap runs.
#pragma once

#include "LevelPoller.h"

class ReadInBuffData : public LevelPoller
{
    Q_OBJECT

public:
    explicit ReadInBuffData(QObject *parent = nullptr);
};
