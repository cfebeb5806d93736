#include "dialogfixture.h"

#include "release.h"

#include <QApplication>
#include <QTimer>
#include <QtTest>

void DialogFixture::setUp()
{
    m_dir = std::make_unique<TemporaryCurrentDir>();
    QVERIFY(m_dir->isValid());
    m_server = std::make_unique<FaultServer>();
    QVERIFY(m_server->start());
    m_server->setBehaviour(Release::programVersionPath(), FaultServer::silent());
    writeConfig();
}

void DialogFixture::tearDown()
{
    m_server.reset();
    m_dir.reset();
}

void DialogFixture::writeConfig(const QMap<QString, QString>& changes, const QStringList& omit)
{
    QMap<QString, QString> values {
        { QStringLiteral("Server/ApiUrl"), m_server->baseUrl() },
        { QStringLiteral("Server/PackageUrl"), m_server->baseUrl() },
        { QStringLiteral("Server/TimeoutMs"), QStringLiteral("60000") },
        { QStringLiteral("Version/PROGRAM"), QStringLiteral("1.000") },
        { QStringLiteral("Version/DATABASE"), QStringLiteral("1.000") },
        { QStringLiteral("ContactUs/Contact1"), contactLine() },
    };
    for (auto it = changes.begin(); it != changes.end(); ++it)
        values.insert(it.key(), it.value());
    for (const QString& key : omit)
        values.remove(key);

    QMap<QString, QStringList> sections;
    for (auto it = values.begin(); it != values.end(); ++it) {
        const QString section = it.key().section(QLatin1Char('/'), 0, 0);
        sections[section].append(
            it.key().section(QLatin1Char('/'), 1) + QLatin1Char('=') + it.value());
    }
    QByteArray text;
    for (auto it = sections.begin(); it != sections.end(); ++it)
        text += ('[' + it.key() + "]\n" + it.value().join(QLatin1Char('\n')) + "\n\n").toUtf8();
    QFile file(configPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(text), qint64(text.size()));
}

int runEventLoop(int limitMs, const std::function<void()>& atStart)
{
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(-99); });
    limit.start(limitMs);
    QTimer start;
    start.setSingleShot(true);
    if (atStart)
        QObject::connect(&start, &QTimer::timeout, atStart);
    start.start(0);
    return QApplication::exec();
}
