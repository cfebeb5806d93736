// docs/reliability.md lists the faults tried, one table row per fault, each naming the test
// cases behind it. This keeps the table and the tests in step: every row names cases that
// exist, and every case of the reliability tests has a row.

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

const QStringList documentedTests { "tst_networkfaults", "tst_hostilepackages", "tst_interruption",
    "tst_sharedfiles", "tst_atomicinstall", "tst_signedpackages", "tst_resumedownload",
    "tst_keptdownload", "tst_oneupdater", "tst_keptpackage" };

// One row of the document: the executable, the function and a data tag pattern ("*" for
// any text; empty for a function without data).
struct DocumentedCase {
    QString row;
    QString executable;
    QString function;
    QString tagPattern;
};

// "function" or "function tag", as -datatags prints them after the class name.
QStringList casesOf(const QString& executable, QString* error)
{
    QProcess process;
    process.start(QCoreApplication::applicationDirPath() + QLatin1Char('/') + executable,
        { QStringLiteral("-datatags") });
    if (!process.waitForFinished(60000) || process.exitCode() != 0) {
        *error = executable + QStringLiteral(": ") + process.errorString()
            + QString::fromUtf8(process.readAllStandardError());
        return {};
    }
    QStringList cases;
    for (const QString& line : QString::fromUtf8(process.readAllStandardOutput()).split('\n')) {
        const int classEnd = line.indexOf(QLatin1Char(' '));
        if (classEnd > 0)
            cases.append(line.mid(classEnd + 1));
    }
    return cases;
}

bool covers(const DocumentedCase& documented, const QString& testCase)
{
    const int space = testCase.indexOf(QLatin1Char(' '));
    const QString function = space < 0 ? testCase : testCase.left(space);
    const QString tag = space < 0 ? QString() : testCase.mid(space + 1);
    if (function != documented.function)
        return false;
    if (documented.tagPattern.isEmpty())
        return tag.isEmpty();
    QString pattern = QRegularExpression::escape(documented.tagPattern);
    pattern.replace(QLatin1String("\\*"), QLatin1String(".*"));
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(tag).hasMatch();
}

} // namespace

class TestReliabilityDoc : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void everyRowNamesExistingCases();
    void everyCaseHasARow();
    void everyRowSaysWhatWasLost();

private:
    QList<DocumentedCase> documented;
    QMap<QString, QStringList> cases; // executable -> its cases
};

void TestReliabilityDoc::initTestCase()
{
    QFile file(QStringLiteral(PROJECT_SOURCE_DIR "/docs/reliability.md"));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QRegularExpression reference(QStringLiteral("`(tst_\\w+): (\\w+)(?:\\((.*)\\))?`"));
    for (const QString& line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (!line.startsWith(QLatin1Char('|')))
            continue;
        const QRegularExpressionMatch match = reference.match(line);
        if (match.hasMatch())
            documented.append({ line, match.captured(1), match.captured(2), match.captured(3) });
    }
    QVERIFY2(documented.size() > 10, "no table rows found");
    for (const QString& executable : documentedTests) {
        QString error;
        cases.insert(executable, casesOf(executable, &error));
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY2(!cases.value(executable).isEmpty(), qPrintable(executable));
    }
}

void TestReliabilityDoc::everyRowNamesExistingCases()
{
    for (const DocumentedCase& row : qAsConst(documented)) {
        QVERIFY2(cases.contains(row.executable), qPrintable(row.row));
        bool found = false;
        for (const QString& testCase : cases.value(row.executable))
            found = found || covers(row, testCase);
        QVERIFY2(found, qPrintable(QStringLiteral("no such test case: ") + row.row));
    }
}

void TestReliabilityDoc::everyCaseHasARow()
{
    for (auto it = cases.cbegin(); it != cases.cend(); ++it) {
        for (const QString& testCase : it.value()) {
            bool found = false;
            for (const DocumentedCase& row : qAsConst(documented))
                found = found || (row.executable == it.key() && covers(row, testCase));
            QVERIFY2(found,
                qPrintable(
                    QStringLiteral("not in docs/reliability.md: %1 %2").arg(it.key(), testCase)));
        }
    }
}

void TestReliabilityDoc::everyRowSaysWhatWasLost()
{
    for (const DocumentedCase& row : qAsConst(documented)) {
        QStringList cells = row.row.split(QLatin1Char('|'));
        // A row starts and ends with "|": the outer parts are empty.
        QVERIFY2(cells.size() == 6, qPrintable(row.row));
        QVERIFY2(cells.at(3).trimmed().size() > 0, qPrintable(row.row));
        QVERIFY2(cells.at(4).trimmed().startsWith(QLatin1String("nothing")), qPrintable(row.row));
    }
}

QTEST_GUILESS_MAIN(TestReliabilityDoc)

#include "tst_reliabilitydoc.moc"
