#include "currentdir.h"

#include <QDir>

TemporaryCurrentDir::TemporaryCurrentDir()
    : m_previous(QDir::currentPath())
{
    m_valid = m_dir.isValid() && QDir::setCurrent(m_dir.path());
}

// Left before the directory is removed, so the process never stands in a deleted directory.
TemporaryCurrentDir::~TemporaryCurrentDir() { QDir::setCurrent(m_previous); }
