// The scene's real controller over a scripted device table: installs the fake PortAudio's
// devices (tests/support/FakePortAudio), the stored settings the controller reads at
// construction, and reports the streams it opened. Exposed to the Qt Quick tests as the
// singleton "Rig" of module "Veltrin.Test"; the start-up probe uses the same table from C++.
// Point HOME and XDG_CONFIG_HOME at a scratch tree (ScratchHome) first.
//
// Thread: GUI thread; the fake's stream records it reads are taken under the fake's own lock.
#pragma once

#include <QObject>
#include <QVariantList>
#include <QVariantMap>

class QQmlEngine;

class PageRig : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // A studio of six devices on two host APIs: three record and play, one only records with a
    // long name, one only records, one only plays. Every device reads a constant 0.5.
    static QVariantList studioDevices();
    // Registers the real Wrapper under its QML module and this class as "Rig".
    static void registerTypes();

    // Each device is {api, name, inputs, outputs, rate}. Replaces the table and clears the
    // fake's counters and stream records.
    Q_INVOKABLE void setDevices(const QVariantList &devices);
    // Replaces everything the settings store holds by `values`, keyed as the controller stores.
    Q_INVOKABLE void store(const QVariantMap &values);
    Q_INVOKABLE QVariantMap stored() const;
    // The controller the scene `window` created.
    Q_INVOKABLE QObject *wrapper(QObject *window) const;
    // The streams opened since the table was set, in order: {input, output} device names ("" for
    // no side), {inChannels, outChannels, rate, frames, callback}.
    Q_INVOKABLE QVariantList streams() const;
    // The device goes away (its streams stop by themselves, it leaves the list) and comes back.
    Q_INVOKABLE void unplug(const QString &name);
    Q_INVOKABLE void plugIn(const QString &name);
    // Streams started and not yet stopped (the engine leaves closing them to Pa_Terminate).
    Q_INVOKABLE int runningStreams() const;
};
