#include "ReadBufferData.h"

#include "Audio.Capture.Playback.h"

ReadBufferData::ReadBufferData(QObject *parent) : LevelPoller(output_aud, parent) {}
