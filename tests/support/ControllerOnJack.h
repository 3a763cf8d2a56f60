// What the controller tests on a private JACK dummy server share: a device entry by its device
// name, and a main() that points the home at a scratch tree, starts the server (48 kHz, blocks
// of 256, two ports each way), names PortAudio's JACK client and runs the Qt test object.
#pragma once

#include "JackHarness.h"
#include "ScratchHome.h"

#include <QCoreApplication>
#include <QStringList>
#include <QtTest>
#include <string>

// The entry "host API  device" of `entries` for `device`, or an empty text.
inline QString entryOf(const QStringList &entries, const QString &device)
{
    for (const QString &entry : entries)
        if (entry.endsWith(QStringLiteral("  ") + device))
            return entry;
    return QString();
}

// The server runControllerTestOnJack() started, for a test that kills and restarts it.
inline JackServer *&controllerJackServer()
{
    static JackServer *server = nullptr;
    return server;
}

template <class Test> int runControllerTestOnJack(int argc, char **argv, const std::string &client)
{
    const ScratchHome home;
    if (!home.valid())
        return 1;
    JackServer server(48000, 256, 2, 2);
    if (!server.running())
        return 1;
    controllerJackServer() = &server;
    // Before the controller's first Pa_Initialize.
    setPortAudioJackClientName(client);
    QCoreApplication app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}
