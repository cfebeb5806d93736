// Whole runs against nginx through a relay that cuts every connection after about 1 MiB:
// the program package is continued with Range and If-Range from nginx's own validators and
// installed byte for byte in the same run; a package replaced on nginx between a cut and the
// next request is installed whole from the new bytes, never spliced.

#include "appdir.h"
#include "cuttingrelay.h"
#include "files.h"
#include "nginxserver.h"
#include "reliability.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

#include <cstdio>

namespace {

const int packageSize = 6 * 1024 * 1024; // bytes of prog.bin in the first package
// No more than the updater's read-ahead limit: with Qt's read buffer full, a close can drop
// bytes that had reached the socket, and each cut would then cost up to that much twice.
const qint64 cutEvery = 1024 * 1024;
const QString v1001 = QStringLiteral("1.001");

// The replacement is a little longer, so its Content-Range totals differ too.
QByteArray programFile(quint32 seed) { return noise(packageSize + int(seed - 1) * 65536, seed); }

QByteArray package(quint32 seed)
{
    return archiveBytes({ ZipEntry::file(QStringLiteral("prog.bin"), programFile(seed)) });
}

// Puts the package in place as a publisher would (a new file renamed over the old one), with
// a modification time of its own: nginx's ETag and Last-Modified both come from it.
bool publishPackage(const Release& release, const QByteArray& bytes, const QDateTime& modified)
{
    const QString path = release.filePath(Release::programPackagePath());
    const QString next = path + QStringLiteral(".next");
    if (!QDir().mkpath(QFileInfo(path).path()) || !writeFileBytes(next, bytes))
        return false;
    QFile file(next);
    if (!file.open(QIODevice::ReadWrite)
        || !file.setFileTime(modified, QFileDevice::FileModificationTime))
        return false;
    file.close();
    return std::rename(QFile::encodeName(next).constData(), QFile::encodeName(path).constData())
        == 0;
}

// One request for the package as it passed the relay, and nginx's answer to it.
struct Exchange {
    CuttingRelay::Head request;
    CuttingRelay::Head response;
    qint64 rangeStart() const // -1: no Range
    {
        const QByteArray range = request.value("Range");
        if (!range.startsWith("bytes=") || !range.endsWith('-'))
            return -1;
        return range.mid(6, range.size() - 7).toLongLong();
    }
};

QList<Exchange> packageExchanges(const CuttingRelay& relay)
{
    QList<Exchange> exchanges;
    for (const CuttingRelay::Head& response : relay.responses()) {
        const CuttingRelay::Head request = relay.requests().value(response.request);
        if (request.word(1) == Release::programPackagePath().toLatin1())
            exchanges.append({ request, response });
    }
    return exchanges;
}

QString describe(const QList<Exchange>& exchanges)
{
    QStringList lines;
    for (const Exchange& e : exchanges) {
        lines << QStringLiteral("%1 [Range %2, If-Range %3] -> %4 [Content-Range %5, ETag %6, "
                                "Last-Modified %7] %8 bytes")
                     .arg(QString::fromLatin1(e.request.firstLine),
                         QString::fromLatin1(e.request.value("Range")),
                         QString::fromLatin1(e.request.value("If-Range")),
                         QString::fromLatin1(e.response.firstLine),
                         QString::fromLatin1(e.response.value("Content-Range")),
                         QString::fromLatin1(e.response.value("ETag")),
                         QString::fromLatin1(e.response.value("Last-Modified")))
                     .arg(e.response.bytesToClient);
    }
    return lines.join(QLatin1Char('\n'));
}

// What If-Range must carry after this answer: the strong ETag, else Last-Modified.
QByteArray validatorOf(const CuttingRelay::Head& response, bool etags)
{
    return etags ? response.value("ETag") : response.value("Last-Modified");
}

struct ExchangeSummary {
    QList<qint64> ranged; // offsets answered by 206, in order
    int newStarts = 0; // ranges answered by the whole (new) package
    int repeats = 0;
    qint64 repeatedBytes = 0;
};

// What passed between the updater and nginx: a first 200, then ranges from the bytes on
// disk under the validator nginx last sent, answered by 206 with the matching Content-Range
// or, once the package changed, by 200 with the new one whole. QtTest checks.
ExchangeSummary checkExchanges(const QList<Exchange>& exchanges, bool etags, qint64 total)
{
    ExchangeSummary summary;
    const QString seen = describe(exchanges);
    [&] {
        QVERIFY2(exchanges.size() >= 2, qPrintable(seen));
        const CuttingRelay::Head& first = exchanges.first().response;
        QVERIFY2(exchanges.first().rangeStart() == -1 && first.word(1) == "200", qPrintable(seen));
        QCOMPARE(first.value("Server").left(5), QByteArray("nginx"));
        QCOMPARE(first.value("ETag").isEmpty(), !etags);
        QByteArray validator = validatorOf(first, etags);
        QVERIFY(!validator.isEmpty());
        for (int i = 1; i < exchanges.size(); ++i) {
            const Exchange& e = exchanges.at(i);
            const qint64 start = e.rangeStart();
            QVERIFY2(start > 0 && e.request.value("If-Range") == validator, qPrintable(seen));
            if (e.request.value("Range") == exchanges.at(i - 1).request.value("Range")) {
                // Qt sends a GET once more by itself when a connection closes early (rare).
                ++summary.repeats;
                summary.repeatedBytes += e.response.bytesToClient;
            } else if (e.response.word(1) == "200") {
                ++summary.newStarts;
                QVERIFY2(validatorOf(e.response, etags) != validator, qPrintable(seen));
                validator = validatorOf(e.response, etags);
            } else {
                QVERIFY2(e.response.word(1) == "206", qPrintable(seen));
                QCOMPARE(e.response.value("Content-Range"),
                    QStringLiteral("bytes %1-%2/%3")
                        .arg(start)
                        .arg(total - 1)
                        .arg(total)
                        .toLatin1());
                summary.ranged.append(start);
            }
        }
    }();
    return summary;
}

// Statuses of nginx's answers for the package, from its access log.
QList<int> packageStatuses(const NginxServer& nginx)
{
    QList<int> statuses;
    for (const ServedRequest& request : nginx.requests()) {
        if (request.path == Release::programPackagePath())
            statuses.append(request.status);
    }
    return statuses;
}

// Whether `seen` appears in `logged` in order. nginx may log one answer more than the relay
// recorded: a request whose connection was cut before the answer's head came back through.
bool loggedInOrder(const QList<int>& seen, const QList<int>& logged)
{
    int at = 0;
    for (const int status : logged) {
        if (at < seen.size() && seen.at(at) == status)
            ++at;
    }
    return at == seen.size() && logged.size() <= seen.size() + 1;
}

// Offsets of the "resumed at" lines, in order; also checks that every interruption is
// followed by a resume at the same offset or by a new start from 0.
QList<qint64> resumedOffsets(const QStringList& messages)
{
    // Qt reports a connection closed short of Content-Length as error 2 or, now and then,
    // as a reply that finished without error; the updater counts the bytes either way.
    const QRegularExpression interrupted(
        QStringLiteral("^\"1\\.001 download interrupted at (\\d+) of \\d+ bytes: (error 2 .*|the "
                       "transfer ended early); retrying in 0 s\"$"));
    const QRegularExpression resumed(
        QStringLiteral("^\"1\\.001 download resumed at (\\d+) bytes from 127\\.0\\.0\\.1\"$"));
    const QString again = QStringLiteral(
        "\"1.001 download starts again from 0: the server sent the whole package\"");
    const QByteArray log = messages.join(QLatin1Char('\n')).toUtf8();
    QList<qint64> offsets;
    qint64 pending = -1;
    for (const QString& message : messages) {
        const QRegularExpressionMatch cut = interrupted.match(message);
        const QRegularExpressionMatch on = resumed.match(message);
        if (cut.hasMatch()) {
            [&] { QVERIFY2(pending < 0, log.constData()); }();
            pending = cut.captured(1).toLongLong();
        } else if (on.hasMatch()) {
            [&] { QVERIFY2(on.captured(1).toLongLong() == pending, log.constData()); }();
            offsets.append(pending);
            pending = -1;
        } else if (message == again) {
            [&] { QVERIFY2(pending > 0, log.constData()); }();
            pending = -1;
        }
    }
    [&] { QVERIFY2(pending == -1, log.constData()); }();
    return offsets;
}

} // namespace

class TestResumeNginx : public QObject {
    Q_OBJECT

private slots:
    void packageSurvivesCutsThroughNginx_data();
    void packageSurvivesCutsThroughNginx();
};

void TestResumeNginx::packageSurvivesCutsThroughNginx_data()
{
    QTest::addColumn<bool>("etags"); // nginx sends ETag (else only Last-Modified)
    QTest::addColumn<bool>("replaced"); // a new package is published at the first cut

    QTest::newRow("ETag") << true << false;
    QTest::newRow("ETag, package replaced after the first cut") << true << true;
    QTest::newRow("Last-Modified only") << false << false;
    QTest::newRow("Last-Modified only, package replaced after the first cut") << false << true;
}

void TestResumeNginx::packageSurvivesCutsThroughNginx()
{
    QFETCH(bool, etags);
    QFETCH(bool, replaced);

    ReleaseSite site;
    QVERIFY(site.release.setProgramVersion(v1001.toLatin1()));
    QVERIFY(site.release.setDatabaseVersion("1.000"));
    const QByteArray first = package(1);
    const QByteArray second = package(2);
    const QDateTime published = QDateTime::currentDateTimeUtc().addDays(-2);
    QVERIFY(publishPackage(site.release, first, published));
    NginxServer::Options options;
    if (!etags)
        options.serverDirectives = QStringLiteral("        etag off;\n");
    QVERIFY2(site.start(options), qPrintable(site.nginx.errorString()));
    CuttingRelay relay(site.nginx.port());
    QVERIFY(relay.start());
    relay.setCutEvery(cutEvery);
    bool republished = false;
    if (replaced) {
        connect(&relay, &CuttingRelay::cut, this, [&] {
            if (!republished)
                republished = publishPackage(site.release, second, published.addDays(1));
        });
    }
    AppDir app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeOldInstallationConfig(relay.baseUrl()));

    const UpdaterRun run = app.runUpdater(60000);
    verifyHandedOverOnce(app, run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(republished, replaced);
    const QByteArray& installed = replaced ? second : first;
    QVERIFY(
        readFileBytes(app.filePath(QStringLiteral("prog.bin"))) == programFile(replaced ? 2 : 1));
    QCOMPARE(app.configValue(QStringLiteral("Version/PROGRAM")), v1001);
    QCOMPARE(app.configValue(QStringLiteral("Version/DATABASE")), QStringLiteral("1.000"));

    const QStringList messages = app.logMessages(run.logOffset);
    const QString log = messages.join(QLatin1Char('\n'));
    const QList<qint64> resumed = resumedOffsets(messages);
    if (QTest::currentTestFailed())
        return;
    const int restarts = messages.count(QStringLiteral(
        "\"1.001 download starts again from 0: the server sent the whole package\""));
    QCOMPARE(restarts, replaced ? 1 : 0);
    // 6 MiB in connections of 1 MiB: at least five cuts, each continued.
    QVERIFY2(relay.cuts() >= 5, qPrintable(log));
    QVERIFY2(resumed.size() >= (replaced ? 5 : 4), qPrintable(log));

    const QList<Exchange> exchanges = packageExchanges(relay);
    const QString seen = describe(exchanges);
    const ExchangeSummary summary = checkExchanges(exchanges, etags, installed.size());
    if (QTest::currentTestFailed())
        return;
    QVERIFY2(summary.newStarts == (replaced ? 1 : 0), qPrintable(seen));
    QVERIFY2(summary.repeats <= 1, qPrintable(seen));
    QCOMPARE(summary.ranged, resumed);
    // nginx's own log: the same answers (it logs a cut one when it notices).
    QList<int> relayStatuses;
    for (const Exchange& e : exchanges)
        relayStatuses.append(e.response.word(1).toInt());
    QTRY_VERIFY2_WITH_TIMEOUT(
        loggedInOrder(relayStatuses, packageStatuses(site.nginx)), qPrintable(seen), 5000);

    // Bytes towards the updater: the package about once (plus what the replaced one had
    // brought before the cut), the heads, and the version questions.
    const qint64 bound = qint64(1.1 * installed.size()) + (replaced ? cutEvery : 0)
        + 1024 * relay.responses().size();
    const qint64 sent = relay.bytesToClient() - summary.repeatedBytes;
    QVERIFY2(sent <= bound,
        qPrintable(QStringLiteral("%1 bytes towards the updater, at most %2 expected:\n%3")
                       .arg(sent)
                       .arg(bound)
                       .arg(seen)));
}

QTEST_MAIN(TestResumeNginx)
#include "tst_resumenginx.moc"
