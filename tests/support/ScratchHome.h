// Points HOME and XDG_CONFIG_HOME at a scratch tree for the life of the object, so that the
// controller's settings and its NDI configuration file never touch the user's own. Create it
// first thing in main(), before anything reads a path.
#pragma once

#include <QTemporaryDir>

class ScratchHome
{
public:
    ScratchHome()
    {
        qputenv("HOME", m_root.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", m_root.filePath(QStringLiteral("config")).toUtf8());
    }
    bool valid() const { return m_root.isValid(); }

private:
    QTemporaryDir m_root;
};
