#include "ReadInBuffData.h"

#include "Audio.Capture.Playback.h"

ReadInBuffData::ReadInBuffData(QObject *parent) : LevelPoller(input_aud, parent) {}
