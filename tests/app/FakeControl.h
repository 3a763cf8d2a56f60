// QML singleton through which the Qt Quick tests set up and inspect FakeWrapper.
#pragma once

#include "FakeWrapper.h"

#include <QObject>
#include <QVariantMap>

class FakeControl : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    Q_INVOKABLE void preset(const QVariantMap &values) { FakeWrapper::setPreset(values); }
    Q_INVOKABLE QObject *wrapper() const { return FakeWrapper::current(); }
    Q_INVOKABLE QStringList journal() const
    {
        const FakeWrapper *w = FakeWrapper::current();
        return w ? w->journal() : QStringList();
    }
    Q_INVOKABLE void clearJournal()
    {
        if (FakeWrapper *w = FakeWrapper::current())
            w->clearJournal();
    }
};
