// Points HOME and XDG_CONFIG_HOME at a scratch tree for the life of the object, so that the
// controller's settings and its NDI configuration file never touch the user's own. Create it
// first thing in main(), before anything reads a path; a tree that cannot be made ends the
// program.
#pragma once

#include <QTemporaryDir>

class ScratchHome
{
public:
    ScratchHome()
    {
        if (!m_root.isValid())
            qFatal("no scratch directory for HOME");
        qputenv("HOME", m_root.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", m_root.filePath(QStringLiteral("config")).toUtf8());
    }

private:
    QTemporaryDir m_root;
};
