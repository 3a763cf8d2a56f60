// Meter poller of the played audio: reads the engine's `output_aud` tap (see LevelPoller).
// Created by the controller with itself as parent; runs while a stream that feeds the tap runs.
#pragma once

#include "LevelPoller.h"

class ReadBufferData : public LevelPoller
{
    Q_OBJECT

public:
    explicit ReadBufferData(QObject *parent = nullptr);
};
