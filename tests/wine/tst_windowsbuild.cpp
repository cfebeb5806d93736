// What scripts/build-windows.sh leaves in dist/: the program with its icon, version resource
// and manifest, every DLL that anything there imports, and, when the build was given a
// certificate, every program and DLL signed with it.
#include "wineapp.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QUuid>
#include <QVector>
#include <QXmlStreamReader>
#include <QtEndian>
#include <QtTest>

static QString run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// Wine also ships some DLLs that Windows lacks and the MinGW runtime provides (zlib1.dll).
static bool fromMinGw(const QString& dll)
{
    return QFileInfo::exists(QStringLiteral("/usr/x86_64-w64-mingw32/lib/") + dll)
        || QFileInfo::exists(QStringLiteral("/usr/lib/gcc/x86_64-w64-mingw32/12-posix/") + dll);
}

static QString dist() { return WineApp::windowsBuild() + QStringLiteral("/dist"); }

// One resource of a PE image. Types and names are numbers, or strings with the id at -1.
struct PeResource {
    int typeId = -1;
    QString typeName;
    int nameId = -1;
    QString name;
    quint32 language = 0;
    QByteArray data;
};

// Reads little-endian numbers; a read outside the image yields 0 and clears `ok`.
struct ImageReader {
    const QByteArray& image;
    bool ok = true;
    quint32 read(qint64 at, int size)
    {
        if (at < 0 || at > image.size() - size) {
            ok = false;
            return 0;
        }
        const auto* bytes = reinterpret_cast<const uchar*>(image.constData() + at);
        return size == 2 ? qFromLittleEndian<quint16>(bytes) : qFromLittleEndian<quint32>(bytes);
    }
    quint32 u16(qint64 at) { return read(at, 2); }
    quint32 u32(qint64 at) { return read(at, 4); }
};

// Walks the resource tree of a PE image (type, name, language, data) the way the Windows
// loader finds the manifest, so no tool's text rendering stands between the test and the
// bytes. Returns an empty string, or what is wrong with the image.
static QString readPeResources(const QByteArray& image, QVector<PeResource>* resources)
{
    ImageReader in { image };
    if (!image.startsWith("MZ"))
        return QStringLiteral("no MZ header");
    const qint64 pe = in.u32(0x3c);
    if (image.mid(pe, 4) != QByteArray("PE\0\0", 4))
        return QStringLiteral("no PE signature");
    const quint32 sectionCount = in.u16(pe + 6);
    const quint32 optionalHeaderSize = in.u16(pe + 20);
    const qint64 optionalHeader = pe + 24;
    const quint32 magic = in.u16(optionalHeader);
    if (magic != 0x20b && magic != 0x10b)
        return QStringLiteral("unknown optional header 0x%1").arg(magic, 0, 16);
    // PE32+ and PE32 differ in where the data directories start.
    const qint64 directories = optionalHeader + (magic == 0x20b ? 112 : 96);
    if (in.u32(directories - 4) < 3)
        return QStringLiteral("no resource directory entry");
    const quint32 resourceRva = in.u32(directories + 2 * 8);

    struct Section {
        quint32 rva, rawSize, rawOffset;
    };
    QVector<Section> sections;
    for (quint32 i = 0; i < sectionCount; ++i) {
        const qint64 header = optionalHeader + optionalHeaderSize + qint64(i) * 40;
        sections.append({ in.u32(header + 12), in.u32(header + 16), in.u32(header + 20) });
    }
    if (!in.ok)
        return QStringLiteral("headers cut short");
    const auto fileOffset = [&sections](quint32 rva) -> qint64 {
        for (const Section& section : sections) {
            if (rva >= section.rva && rva - section.rva < section.rawSize)
                return qint64(section.rawOffset) + (rva - section.rva);
        }
        return -1;
    };
    const qint64 root = fileOffset(resourceRva);
    if (resourceRva == 0 || root < 0)
        return QStringLiteral("no resources");

    // An entry's name field: a number, or (high bit) the offset of a counted UTF-16 string.
    const auto label = [&](quint32 field, int* id, QString* name) {
        if (!(field & 0x80000000u)) {
            *id = int(field & 0xffff);
            return;
        }
        const qint64 at = root + (field & 0x7fffffffu);
        const quint32 length = in.u16(at);
        for (quint32 i = 0; i < length && in.ok; ++i)
            name->append(QChar(ushort(in.u16(at + 2 + 2 * i))));
    };
    // The entries of the directory at `offset` (from the tree's root): name and target fields.
    const auto entries = [&](quint32 offset) {
        QVector<QPair<quint32, quint32>> list;
        const qint64 directory = root + offset;
        const quint32 count = in.u16(directory + 12) + in.u16(directory + 14);
        for (quint32 i = 0; i < count && in.ok; ++i)
            list.append({ in.u32(directory + 16 + 8 * i), in.u32(directory + 20 + 8 * i) });
        return list;
    };
    const quint32 subdirectory = 0x80000000u;
    for (const auto& type : entries(0)) {
        if (!(type.second & subdirectory))
            return QStringLiteral("a type without a name level");
        for (const auto& name : entries(type.second & ~subdirectory)) {
            if (!(name.second & subdirectory))
                return QStringLiteral("a name without a language level");
            for (const auto& language : entries(name.second & ~subdirectory)) {
                if (language.second & subdirectory)
                    return QStringLiteral("a language level with a subdirectory");
                PeResource resource;
                label(type.first, &resource.typeId, &resource.typeName);
                label(name.first, &resource.nameId, &resource.name);
                resource.language = language.first;
                const qint64 entry = root + language.second;
                const qint64 data = fileOffset(in.u32(entry));
                const quint32 size = in.u32(entry + 4);
                if (data < 0 || data > image.size() - qint64(size))
                    return QStringLiteral("resource data outside the image");
                resource.data = image.mid(data, size);
                resources->append(resource);
            }
        }
    }
    return in.ok ? QString() : QStringLiteral("resource tree points outside the image");
}

static const int RtManifest = 24;

// The RT_MANIFEST resources of the shipped program.
static QVector<PeResource> embeddedManifests(QString* error)
{
    QFile file(dist() + QStringLiteral("/UpdateTarvil.exe"));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return {};
    }
    QVector<PeResource> resources, manifests;
    *error = readPeResources(file.readAll(), &resources);
    for (const PeResource& resource : resources) {
        if (resource.typeId == RtManifest)
            manifests.append(resource);
    }
    return manifests;
}

// One element of a manifest: its path from the root, each step written prefix:name with the
// namespace abbreviated (unknown ones in full, in braces), its attributes and text.
struct ManifestElement {
    QString path;
    QXmlStreamAttributes attributes;
    QString text;
};

static QString abbreviated(const QStringRef& namespaceUri)
{
    static const QMap<QString, QString> prefixes {
        { QStringLiteral("urn:schemas-microsoft-com:asm.v1"), QStringLiteral("asmv1") },
        { QStringLiteral("urn:schemas-microsoft-com:asm.v3"), QStringLiteral("asmv3") },
        { QStringLiteral("urn:schemas-microsoft-com:compatibility.v1"), QStringLiteral("compat") },
        { QStringLiteral("http://schemas.microsoft.com/SMI/2005/WindowsSettings"),
            QStringLiteral("ws2005") },
        { QStringLiteral("http://schemas.microsoft.com/SMI/2016/WindowsSettings"),
            QStringLiteral("ws2016") },
    };
    const QString uri = namespaceUri.toString();
    return prefixes.value(uri, QLatin1Char('{') + uri + QLatin1Char('}'));
}

static QVector<ManifestElement> parseManifest(const QByteArray& xml, QString* error)
{
    QVector<ManifestElement> elements;
    QVector<int> open; // indexes of the elements not yet closed
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QString step
                = abbreviated(reader.namespaceUri()) + QLatin1Char(':') + reader.name().toString();
            elements.append({ open.isEmpty() ? step : elements[open.last()].path + '/' + step,
                reader.attributes(), QString() });
            open.append(elements.size() - 1);
            break;
        }
        case QXmlStreamReader::Characters:
            if (!open.isEmpty())
                elements[open.last()].text += reader.text();
            break;
        case QXmlStreamReader::EndElement:
            open.removeLast();
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        *error = QStringLiteral("line %1: %2").arg(reader.lineNumber()).arg(reader.errorString());
    return elements;
}

class TestWindowsBuild : public QObject {
    Q_OBJECT

private slots:
    void iconAndVersionResourceAreEmbedded();
    void exactlyOneManifestIsEmbedded();
    void manifestDeclaresAsInvokerLongPathsAndDpi_data();
    void manifestDeclaresAsInvokerLongPathsAndDpi();
    void everyImportedDllIsInTheFolder();
    void everyShippedBinaryIsSignedWithTheBuildCertificate();
};

void TestWindowsBuild::iconAndVersionResourceAreEmbedded()
{
    const QString resources = run(QStringLiteral("x86_64-w64-mingw32-windres"),
        { QStringLiteral("-i"), dist() + QStringLiteral("/UpdateTarvil.exe"), QStringLiteral("-O"),
            QStringLiteral("rc") });
    QVERIFY2(!resources.isEmpty(), "windres read no resources from UpdateTarvil.exe");
    // The icon group: one frame for each size from 16 to 256 (written as 0) pixels.
    QVERIFY(resources.contains(QStringLiteral("\"IDI_ICON1\" 14 /* RT_GROUP_ICON */")));
    QVERIFY(resources.contains(QStringLiteral("Has 7 elements")));
    for (const char* side : { "\\020\\020", "\\030\\030", "\\040\\040", "\\060\\060", "\\100\\100",
             "\\200\\200", "\\000\\000" })
        QVERIFY2(resources.contains(QStringLiteral("\"%1\\000\\000\", 1, 32").arg(side)), side);
    QVERIFY(resources.contains(QStringLiteral("1 VERSIONINFO")));
    QVERIFY(resources.contains(QStringLiteral("FILEVERSION 1, 0, 0, 0")));
    QVERIFY(resources.contains(QStringLiteral("VALUE \"OriginalFilename\", \"UpdateTarvil.exe\"")));
}

// Windows reads the manifest of a program from RT_MANIFEST resource 1 only, and a second
// manifest (a toolchain's default one) could be the one it picks.
void TestWindowsBuild::exactlyOneManifestIsEmbedded()
{
    QString error;
    const QVector<PeResource> manifests = embeddedManifests(&error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(manifests.size(), 1);
    QCOMPARE(manifests.first().nameId, 1);
    QVERIFY(!manifests.first().data.isEmpty());
    parseManifest(manifests.first().data, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));

    // The same walk finds the resources windres shows, named and numbered alike: the reader
    // itself is sound.
    QFile file(dist() + QStringLiteral("/UpdateTarvil.exe"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVector<PeResource> resources;
    QVERIFY(readPeResources(file.readAll(), &resources).isEmpty());
    const auto has = [&resources](int type, int nameId, const QString& name) {
        return std::any_of(resources.cbegin(), resources.cend(), [&](const PeResource& r) {
            return r.typeId == type && r.nameId == nameId && r.name == name;
        });
    };
    QVERIFY(has(14 /* RT_GROUP_ICON */, -1, QStringLiteral("IDI_ICON1")));
    QVERIFY(has(16 /* RT_VERSION */, 1, QString()));
}

void TestWindowsBuild::manifestDeclaresAsInvokerLongPathsAndDpi_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("attribute"); // empty: the element's text
    QTest::addColumn<QStringList>("values"); // of every element at the path, in any order

    const QString assembly = QStringLiteral("asmv1:assembly");
    const QString level = assembly
        + QStringLiteral("/asmv3:trustInfo/asmv3:security/asmv3:requestedPrivileges/"
                         "asmv3:requestedExecutionLevel");
    const QString settings = assembly + QStringLiteral("/asmv3:application/asmv3:windowsSettings");
    QTest::newRow("manifest version")
        << assembly << QStringLiteral("manifestVersion") << QStringList { QStringLiteral("1.0") };
    QTest::newRow("execution level")
        << level << QStringLiteral("level") << QStringList { QStringLiteral("asInvoker") };
    QTest::newRow("no UI access") << level << QStringLiteral("uiAccess")
                                  << QStringList { QStringLiteral("false") };
    QTest::newRow("Windows 7, 8, 8.1, 10 and 11")
        << assembly + QStringLiteral("/compat:compatibility/compat:application/compat:supportedOS")
        << QStringLiteral("Id")
        << QStringList { QStringLiteral("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"),
               QStringLiteral("{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"),
               QStringLiteral("{1f676c76-80e1-4239-95bb-83d0f6d0da78}"),
               QStringLiteral("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}") };
    QTest::newRow("dpiAware") << settings + QStringLiteral("/ws2005:dpiAware") << QString()
                              << QStringList { QStringLiteral("true/pm") };
    QTest::newRow("dpiAwareness") << settings + QStringLiteral("/ws2016:dpiAwareness") << QString()
                                  << QStringList { QStringLiteral("PerMonitor") };
    QTest::newRow("longPathAware") << settings + QStringLiteral("/ws2016:longPathAware")
                                   << QString() << QStringList { QStringLiteral("true") };
}

// Each setting sits where Windows looks for it, in its namespace, once; Windows ignores a
// setting in the wrong place or namespace without a word.
void TestWindowsBuild::manifestDeclaresAsInvokerLongPathsAndDpi()
{
    QFETCH(QString, path);
    QFETCH(QString, attribute);
    QFETCH(QStringList, values);

    QString error;
    const QVector<PeResource> manifests = embeddedManifests(&error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(manifests.size(), 1);
    const QVector<ManifestElement> elements = parseManifest(manifests.first().data, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QStringList found;
    for (const ManifestElement& element : elements) {
        if (element.path != path)
            continue;
        QString value = attribute.isEmpty() ? element.text.trimmed()
                                            : element.attributes.value(attribute).toString();
        if (attribute == QLatin1String("Id")) // GUIDs compare as GUIDs, whatever their case
            value = QUuid(value).toString();
        found << value;
    }
    found.sort();
    values.sort();
    QCOMPARE(found, values);
}

// Windows looks for a program's DLLs beside it: each one imported must be there, or be one
// of Windows' own.
void TestWindowsBuild::everyImportedDllIsInTheFolder()
{
    QSet<QString> present;
    QStringList binaries;
    QDirIterator it(dist(), { QStringLiteral("*.dll"), QStringLiteral("*.exe") }, QDir::Files,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        binaries << it.next();
        if (QFileInfo(it.filePath()).dir() == QDir(dist()))
            present << it.fileName().toLower();
    }
    QVERIFY(present.contains(QStringLiteral("libssl-3-x64.dll")));
    QVERIFY(present.contains(QStringLiteral("libcrypto-3-x64.dll")));
    QVERIFY(QFileInfo::exists(dist() + QStringLiteral("/platforms/qwindows.dll")));
    QVERIFY(QFileInfo::exists(dist() + QStringLiteral("/imageformats/qjpeg.dll")));
    const QDir windowsDlls(QStringLiteral("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"));
    static const QRegularExpression dllName(QStringLiteral("DLL Name: (\\S+)"));
    for (const QString& binary : binaries) {
        const QString imports
            = run(QStringLiteral("x86_64-w64-mingw32-objdump"), { QStringLiteral("-p"), binary });
        QVERIFY2(imports.contains(QStringLiteral("DLL Name:")), qPrintable(binary));
        auto matches = dllName.globalMatch(imports);
        while (matches.hasNext()) {
            const QString name = matches.next().captured(1).toLower();
            QVERIFY2(present.contains(name) || (windowsDlls.exists(name) && !fromMinGw(name)),
                qPrintable(binary + QStringLiteral(" imports ") + name));
        }
    }
}

static int verify(const QString& binary, const QString& caFile, QString* output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("osslsigncode"),
        { QStringLiteral("verify"), QStringLiteral("-CAfile"), caFile, QStringLiteral("-in"),
            binary });
    if (!process.waitForFinished(60000))
        return -1;
    *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

static bool succeeds(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// scripts/test-windows.sh builds with a throwaway certificate and names it in
// UPDATER_WINDOWS_SIGNING_CA. Every program and DLL in dist/ must carry a valid Authenticode
// signature that chains to it alone: osslsigncode checks the digest over the file and the
// chain, not only that a signature is there.
void TestWindowsBuild::everyShippedBinaryIsSignedWithTheBuildCertificate()
{
    const QString ca = qEnvironmentVariable("UPDATER_WINDOWS_SIGNING_CA");
    if (ca.isEmpty())
        QSKIP("UPDATER_WINDOWS_SIGNING_CA names no certificate: the build is not signed");
    QVERIFY2(QFileInfo::exists(ca), qPrintable(ca));

    QStringList binaries;
    QDirIterator it(dist(), { QStringLiteral("*.dll"), QStringLiteral("*.exe") }, QDir::Files,
        QDirIterator::Subdirectories);
    while (it.hasNext())
        binaries << it.next();
    QVERIFY(binaries.contains(dist() + QStringLiteral("/UpdateTarvil.exe")));
    QVERIFY(binaries.contains(dist() + QStringLiteral("/platforms/qwindows.dll")));
    QString output;
    for (const QString& binary : binaries)
        QVERIFY2(verify(binary, ca, &output) == 0, qPrintable(binary + '\n' + output));

    // The check tells signed from unsigned: the build tree's own UpdateTarvil.exe is the
    // program before dist/ was signed.
    const QString unsigned_ = WineApp::windowsBuild() + QStringLiteral("/UpdateTarvil.exe");
    QVERIFY(QFileInfo::exists(unsigned_));
    QVERIFY2(verify(unsigned_, ca, &output) != 0, qPrintable(output));

    // ... and this certificate from another: the program signed with a second throwaway
    // certificate verifies against that one and not against the build's.
    QTemporaryDir other;
    QVERIFY(other.isValid());
    const QString key = other.filePath(QStringLiteral("key.pem"));
    const QString certificate = other.filePath(QStringLiteral("cert.pem"));
    const QString resigned = other.filePath(QStringLiteral("UpdateTarvil.exe"));
    QVERIFY(succeeds(QStringLiteral("openssl"),
        { QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
            QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-keyout"), key,
            QStringLiteral("-out"), certificate, QStringLiteral("-days"), QStringLiteral("1"),
            QStringLiteral("-subj"), QStringLiteral("/CN=Another publisher"),
            QStringLiteral("-addext"), QStringLiteral("extendedKeyUsage=codeSigning") }));
    QVERIFY(succeeds(QStringLiteral("osslsigncode"),
        { QStringLiteral("sign"), QStringLiteral("-certs"), certificate, QStringLiteral("-key"),
            key, QStringLiteral("-h"), QStringLiteral("sha256"), QStringLiteral("-in"), unsigned_,
            QStringLiteral("-out"), resigned }));
    QVERIFY2(verify(resigned, certificate, &output) == 0, qPrintable(output));
    QVERIFY2(verify(resigned, ca, &output) != 0, qPrintable(output));
}

QTEST_GUILESS_MAIN(TestWindowsBuild)
#include "tst_windowsbuild.moc"
