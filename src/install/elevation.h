#ifndef ELEVATION_H
#define ELEVATION_H

#include <QObject>
#include <QString>

class QTimer;

// An installation in a directory the user may not write (Program Files under a standard
// account) needs an administrator. Windows is asked to run a copy of the updater elevated,
// behind its own consent prompt; that copy installs and never starts the main program, while
// the copy that asked waits for it and hands over, so the main program never runs elevated.

// Whether `directory` takes a new file: one is made and removed again. The access rules of
// the directory decide, which a look at its attributes cannot tell.
bool directoryTakesFiles(const QString& directory);

// Whether this system runs a copy elevated on request (Windows).
bool elevationAvailable();

// Whether this process is the elevated copy: its command line carries the marker.
bool isAdministratorCopy();

// One elevated copy of the running updater, from start to exit.
class ElevatedCopy : public QObject {
    Q_OBJECT

public:
    explicit ElevatedCopy(QObject* parent = nullptr);
    ~ElevatedCopy() override;

    // Asks for the copy in `directory`; false with the reason when it was not started (the
    // prompt refused, no such system).
    bool start(const QString& directory, QString* reason);

signals:
    void finished(int exitCode);

private:
    void poll();

    void* m_process = nullptr;
    QTimer* m_poll = nullptr;
};

#endif // ELEVATION_H
