// Renames and removals with the reason for a failure: held files (which the installation
// waits for) told apart from missing ones (which fail at once), and paths past 260 characters.
// Wine does not enforce the 260-character limit, so there the long-path case shows only that
// the extended-length form is accepted; the form itself is checked on its own.

#include "fileops.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestFileOps : public QObject {
    Q_OBJECT

private slots:
    void extendedLengthPath_data();
    void extendedLengthPath();
    void missingFileFailsAtOnceAndHeldFileIsHeld();
    void pathsPastMaxPathAreRenamedAndRemoved();
};

void TestFileOps::extendedLengthPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("drive, forward slashes")
        << "C:/Program Files (x86)/Orbelan/lib/a.dll"
        << "\\\\?\\C:\\Program Files (x86)\\Orbelan\\lib\\a.dll";
    QTest::newRow("drive, backslashes and dots") << "C:\\app\\update\\..\\lib\\.\\a.dll"
                                                 << "\\\\?\\C:\\app\\lib\\a.dll";
    QTest::newRow("share") << "//school-server/apps/Orbelan/Config.ini"
                           << "\\\\?\\UNC\\school-server\\apps\\Orbelan\\Config.ini";
    QTest::newRow("already extended") << "\\\\?\\C:\\app\\a.dll"
                                      << "\\\\?\\C:\\app\\a.dll";
    QTest::newRow("relative stays relative") << "update/a.dll"
                                             << "update\\a.dll";
}

void TestFileOps::extendedLengthPath()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(::extendedLengthPath(path), expected);
}

void TestFileOps::missingFileFailsAtOnceAndHeldFileIsHeld()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const FileOpResult missing
        = renameFile(dir.filePath(QStringLiteral("gone.dll")), dir.filePath(QStringLiteral("b")));
    QVERIFY(!missing.ok);
    QVERIFY(missing.missing);
    QVERIFY2(!missing.held, qPrintable(missing.message));
    QVERIFY(!missing.message.isEmpty());
    QVERIFY(removeFile(dir.filePath(QStringLiteral("gone.dll"))).ok);

#ifdef Q_OS_WIN
    // Qt opens files without delete sharing, as a running program holds its DLLs.
    QFile held(dir.filePath(QStringLiteral("engine.dll")));
    QVERIFY(held.open(QIODevice::WriteOnly));
    const FileOpResult removal = removeFile(held.fileName());
    QVERIFY(!removal.ok);
    QVERIFY2(removal.held, qPrintable(removal.message));
    QVERIFY2(
        removal.message.contains(QStringLiteral("Windows error 32")), qPrintable(removal.message));
    held.close();
    QVERIFY(removeFile(held.fileName()).ok);
    QVERIFY(!QFile::exists(held.fileName()));
#endif
}

void TestFileOps::pathsPastMaxPathAreRenamedAndRemoved()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString part = QStringLiteral("考试宝典 Orbelan 安装目录 0123456789 abcdefghij");
    QString deep = dir.path();
    while (deep.size() < 300)
        deep += QLatin1Char('/') + part;
    QVERIFY(QDir().mkpath(deep));
    QFile file(deep + QStringLiteral("/engine.dll"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("engine") == 6);
    file.close();

    const QString moved = deep + QStringLiteral("/engine.dll.old");
    const FileOpResult rename = renameFile(file.fileName(), moved);
    QVERIFY2(rename.ok, qPrintable(rename.message));
    QVERIFY(QFile::exists(moved) && !QFile::exists(file.fileName()));
    const FileOpResult removal = removeFile(moved);
    QVERIFY2(removal.ok, qPrintable(removal.message));
    QVERIFY(!QFile::exists(moved));
}

QTEST_GUILESS_MAIN(TestFileOps)
#include "tst_fileops.moc"
