// For test programs that need a real X window: restarts the program under scripts/with-xvfb,
// which gives it a private Xvfb server, unless it already runs under one.
#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <unistd.h>
#include <vector>

// Returns only when the program already runs under its own Xvfb; 127 if the restart failed.
inline int runUnderPrivateXvfb(int argc, char **argv, const char *withXvfb)
{
    if (!qEnvironmentVariableIsEmpty("VELTRIN_UNDER_XVFB"))
        return 0;
    qputenv("VELTRIN_UNDER_XVFB", "1");
    std::vector<char *> args{const_cast<char *>(withXvfb)};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    execv(withXvfb, args.data());
    return 127;
}
