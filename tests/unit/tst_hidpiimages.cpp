// The window's images on a scaled display: every image the form or the code names is
// compiled in as <name> and as <name>@2x, the @2x image is the same artwork drawn at twice
// the resolution rather than a stretched copy, and with a device pixel ratio of 2 a style
// sheet's border-image draws the @2x pixels.

#include "dialogfixture.h"
#include "updatetarvildialog.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QRegularExpression>
#include <QSet>
#include <QWidget>
#include <QtTest>

#include <cmath>

namespace {

const QString imagePrefix = QStringLiteral(":/images/");

// "logo.png" -> "logo@2x.png": the name Qt looks for on a screen of ratio above 1.
QString doubleName(const QString& name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return name.left(dot) + QStringLiteral("@2x") + name.mid(dot);
}

bool isDoubleName(const QString& name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return name.left(dot).endsWith(QLatin1String("@2x"));
}

// Drawn at 1x only: the background, a soft gradient, scaled at every repaint of the window;
// at 2x that cost about 70 MB and 0.4 s in a run (tst_packageinstall's memory check).
const QStringList singleOnly { QStringLiteral("beijing.jpg") };

QString singleName(const QString& name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return name.left(dot - 3) + name.mid(dot);
}

// Every image the sources under src/ name as ":/images/<name>", each with the files naming
// it: the form's style sheets and whatever the dialog's code sets.
QMap<QString, QStringList> referencedImages()
{
    QMap<QString, QStringList> images;
    const QString sources = QStringLiteral(PROJECT_SOURCE_DIR "/src");
    const QRegularExpression reference(QStringLiteral(":/images/([^)\"'\\s;]+)"));
    QDirIterator it(sources,
        { QStringLiteral("*.ui"), QStringLiteral("*.cpp"), QStringLiteral("*.h") }, QDir::Files,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll());
        auto matches = reference.globalMatch(text);
        while (matches.hasNext()) {
            const QString name = matches.next().captured(1);
            const QString where = QDir(sources).relativeFilePath(it.filePath());
            if (!images[name].contains(where))
                images[name].append(where);
        }
    }
    return images;
}

// The 1x images compiled in under :/images.
QStringList compiledSingleImages()
{
    QStringList names;
    const QStringList entries = QDir(imagePrefix).entryList(QDir::Files, QDir::Name);
    for (const QString& entry : entries)
        names.append(isDoubleName(entry) ? singleName(entry) : entry);
    names.removeDuplicates();
    return names;
}

QImage premultiplied(const QImage& image)
{
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

int channel(QRgb pixel, int index)
{
    switch (index) {
    case 0:
        return qAlpha(pixel);
    case 1:
        return qRed(pixel);
    case 2:
        return qGreen(pixel);
    default:
        return qBlue(pixel);
    }
}

// One channel of a premultiplied image as numbers, softened by two passes of a 3x3 box:
// anti-aliased edges and the background's per-pixel noise come out differently at each
// size by design; a misplaced, mis-scaled or different drawing survives the softening.
QVector<double> softened(const QImage& image, int index)
{
    const int w = image.width();
    const int h = image.height();
    QVector<double> values(w * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            values[y * w + x] = channel(image.pixel(x, y), index);
    QVector<double> pass(w * h);
    for (int round = 0; round < 2; ++round) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                double sum = 0;
                int n = 0;
                for (int k = qMax(0, x - 1); k <= qMin(w - 1, x + 1); ++k, ++n)
                    sum += values[y * w + k];
                pass[y * w + x] = sum / n;
            }
        }
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                double sum = 0;
                int n = 0;
                for (int k = qMax(0, y - 1); k <= qMin(h - 1, y + 1); ++k, ++n)
                    sum += pass[k * w + x];
                values[y * w + x] = sum / n;
            }
        }
    }
    return values;
}

// Each aligned 2x2 block of `image` averaged into one pixel: what the 2x image shows
// when it is looked at with 1x pixels.
QImage boxHalved(const QImage& image)
{
    QImage half(image.width() / 2, image.height() / 2, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < half.height(); ++y) {
        for (int x = 0; x < half.width(); ++x) {
            int sums[4] = { 0, 0, 0, 0 };
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx)
                    for (int c = 0; c < 4; ++c)
                        sums[c] += channel(image.pixel(2 * x + dx, 2 * y + dy), c);
            half.setPixel(x, y,
                qRgba((sums[1] + 2) / 4, (sums[2] + 2) / 4, (sums[3] + 2) / 4, (sums[0] + 2) / 4));
        }
    }
    return half;
}

// Mean difference per channel, in levels of 255, of two images of one size after
// softening both.
double softenedDifference(const QImage& a, const QImage& b)
{
    double sum = 0;
    for (int c = 0; c < 4; ++c) {
        const QVector<double> va = softened(a, c);
        const QVector<double> vb = softened(b, c);
        for (int i = 0; i < va.size(); ++i)
            sum += std::abs(va[i] - vb[i]);
    }
    return sum / (4.0 * a.width() * a.height());
}

// Mean difference per channel, in levels of 255, of two images of one size.
double meanDifference(const QImage& a, const QImage& b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (int c = 0; c < 4; ++c)
                sum += std::abs(channel(a.pixel(x, y), c) - channel(b.pixel(x, y), c));
    return sum / (4.0 * a.width() * a.height());
}

// The squared differences between neighbours inside each aligned 2x2 block, summed: the
// detail finer than one 1x pixel. A 1x image with its pixels doubled has none; an image
// stretched from 1x has only the little its interpolation makes up; a drawing at 2x has
// its edges and noise fall inside blocks as often as between them.
double detailInsideBlocks(const QImage& image)
{
    double energy = 0;
    for (int y = 0; y + 1 < image.height(); y += 2) {
        for (int x = 0; x + 1 < image.width(); x += 2) {
            const QRgb topLeft = image.pixel(x, y);
            const QRgb topRight = image.pixel(x + 1, y);
            const QRgb bottomLeft = image.pixel(x, y + 1);
            const QRgb bottomRight = image.pixel(x + 1, y + 1);
            for (int c = 0; c < 4; ++c) {
                const int pairs[4][2] = {
                    { channel(topLeft, c), channel(topRight, c) },
                    { channel(bottomLeft, c), channel(bottomRight, c) },
                    { channel(topLeft, c), channel(bottomLeft, c) },
                    { channel(topRight, c), channel(bottomRight, c) },
                };
                for (const auto& pair : pairs)
                    energy += double(pair[0] - pair[1]) * (pair[0] - pair[1]);
            }
        }
    }
    return energy;
}

// `pixmap` stretched over a widget-sized area on a transparent image of ratio 2, the way a
// border-image without cuts is drawn.
QImage stretchedAtRatioTwo(const QPixmap& pixmap, const QSize& area)
{
    QImage image(area * 2, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(QRectF(QPointF(0, 0), area), pixmap, QRectF(pixmap.rect()));
    painter.end();
    return image;
}

} // namespace

class TestHiDpiImages : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void everyImageIsCompiledInAtOneAndTwoTimes_data();
    void everyImageIsCompiledInAtOneAndTwoTimes();
    void doubleImageIsTheArtworkDrawnAtTwoTimes_data();
    void doubleImageIsTheArtworkDrawnAtTwoTimes();
    void styleSheetDrawsTheDoubleImageAtRatioTwo_data();
    void styleSheetDrawsTheDoubleImageAtRatioTwo();

private:
    DialogFixture m_fixture;
};

void TestHiDpiImages::init() { m_fixture.setUp(); }

void TestHiDpiImages::cleanup() { m_fixture.tearDown(); }

void TestHiDpiImages::everyImageIsCompiledInAtOneAndTwoTimes_data()
{
    QTest::addColumn<QString>("name");

    const QMap<QString, QStringList> referenced = referencedImages();
    // The form alone names several images; finding none means the sources were not read.
    QVERIFY2(
        !referenced.isEmpty(), "no :/images/ reference found under " PROJECT_SOURCE_DIR "/src");
    for (auto it = referenced.begin(); it != referenced.end(); ++it) {
        const QString row = it.key() + QStringLiteral(" (") + it.value().join(QStringLiteral(", "))
            + QLatin1Char(')');
        QTest::newRow(qPrintable(row)) << it.key();
    }
    // Compiled-in images nobody names yet (or a lone @2x) must come in pairs too.
    const QStringList compiled = compiledSingleImages();
    for (const QString& name : compiled) {
        if (!referenced.contains(name))
            QTest::newRow(qPrintable(name + QStringLiteral(" (images.qrc)"))) << name;
    }
}

void TestHiDpiImages::everyImageIsCompiledInAtOneAndTwoTimes()
{
    QFETCH(QString, name);

    const QImage single(imagePrefix + name);
    QVERIFY2(!single.isNull(), qPrintable(imagePrefix + name));
    if (singleOnly.contains(name)) {
        QVERIFY2(!QFile::exists(imagePrefix + doubleName(name)), "kept at 1x on purpose");
        return;
    }
    const QImage twice(imagePrefix + doubleName(name));
    QVERIFY2(!twice.isNull(), qPrintable(imagePrefix + doubleName(name)));
    QCOMPARE(twice.size(), single.size() * 2);
}

void TestHiDpiImages::doubleImageIsTheArtworkDrawnAtTwoTimes_data()
{
    QTest::addColumn<QString>("name");

    const QStringList compiled = compiledSingleImages();
    QVERIFY(!compiled.isEmpty());
    for (const QString& name : compiled) {
        if (!singleOnly.contains(name))
            QTest::newRow(qPrintable(name)) << name;
    }
}

void TestHiDpiImages::doubleImageIsTheArtworkDrawnAtTwoTimes()
{
    QFETCH(QString, name);

    const QImage single = premultiplied(QImage(imagePrefix + name));
    const QImage twice = premultiplied(QImage(imagePrefix + doubleName(name)));
    QVERIFY(!single.isNull());
    QVERIFY(!twice.isNull());
    QCOMPARE(twice.size(), single.size() * 2);

    // The same artwork in the same place: looked at with 1x pixels the 2x image is the 1x
    // image, up to how anti-aliasing and noise fall. The images drawn here differ by 0.1
    // to 1.4 levels; a swapped image, a drawing not scaled with its canvas or pen widths
    // and emboldening left at 1x differ by 2.7 levels or (mostly far) more.
    const double difference = softenedDifference(boxHalved(twice), single);
    QVERIFY2(difference < 2.0,
        qPrintable(QStringLiteral("%1 halved differs from %2 by %3 levels on average")
                       .arg(doubleName(name), name)
                       .arg(difference, 0, 'f', 2)));

    // Finer than 1x: how much detail the 2x image has inside its 2x2 blocks, against Qt's
    // smooth stretch of the 1x image (near what a scaled display shows without the @2x file).
    // A pixel-doubled copy has none (0 times), a smooth stretch exactly as much (1 time);
    // the artwork drawn at 2x has 1.7 (the background, whose fine noise JPEG mostly
    // removes) to 5.6 times as much.
    const QImage stretched
        = single.scaled(single.size() * 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const double stretchedDetail = detailInsideBlocks(stretched);
    QVERIFY2(stretchedDetail > 0, qPrintable(name + QStringLiteral(" is one flat colour")));
    const double ratio = detailInsideBlocks(twice) / stretchedDetail;
    QVERIFY2(ratio > 1.5,
        qPrintable(QStringLiteral("%1 has %2 times the fine detail of %3 stretched: a copy "
                                  "of the 1x image, not a drawing at 2x")
                       .arg(doubleName(name))
                       .arg(ratio, 0, 'f', 2)
                       .arg(name)));
}

void TestHiDpiImages::styleSheetDrawsTheDoubleImageAtRatioTwo_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("sheet"); // empty: the form's own
    QTest::addColumn<bool>("hovered");
    QTest::addColumn<QString>("image");

    QTest::newRow("logo") << "label_logo" << QString() << false << "logo.png";
    // The sheet the dialog gives the logo label when the server asks for the other brand.
    QTest::newRow("alternative logo")
        << "label_logo"
        << "border-image: url(:/images/vantrellogo.png);" << false << "vantrellogo.png";
    QTest::newRow("close button") << "pushButton_exit" << QString() << false << "close_namal.png";
    QTest::newRow("close button hovered")
        << "pushButton_exit" << QString() << true << "close_hover.png";
}

void TestHiDpiImages::styleSheetDrawsTheDoubleImageAtRatioTwo()
{
    QFETCH(QString, objectName);
    QFETCH(QString, sheet);
    QFETCH(bool, hovered);
    QFETCH(QString, image);

    // main() asked for a scale factor of 2; Qt picks the @2x file by the screen's ratio.
    QCOMPARE(qApp->devicePixelRatio(), 2.0);

    UpdateTarvilDialog dialog;
    dialog.ensureForm();
    // The panel gets its size from the dialog's layout, which a hidden dialog has not run.
    QVERIFY(dialog.layout());
    dialog.layout()->activate();
    auto* widget = dialog.findChild<QWidget*>(objectName);
    QVERIFY2(widget, qPrintable(objectName));
    if (!sheet.isEmpty())
        widget->setStyleSheet(sheet);
    if (hovered) {
        // What the pointer coming over the button does: QPushButton takes its hover state
        // from the moves it sees while under the mouse, not from the attribute alone.
        widget->setAttribute(Qt::WA_UnderMouse);
        const QPointF centre = QRectF(widget->rect()).center();
        const QPointF global = widget->mapToGlobal(centre.toPoint());
        QEnterEvent enter(centre, centre, global);
        QCoreApplication::sendEvent(widget, &enter);
        QMouseEvent move(
            QEvent::MouseMove, centre, global, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(widget, &move);
    }
    QVERIFY(widget->styleSheet().contains(imagePrefix + image));
    QCOMPARE(widget->devicePixelRatioF(), 2.0);

    // The widget alone (no children, no window background) at ratio 2.
    const QSize area = widget->size();
    QImage drawn(area * 2, QImage::Format_ARGB32_Premultiplied);
    drawn.setDevicePixelRatio(2);
    drawn.fill(Qt::transparent);
    widget->render(&drawn, QPoint(), QRegion(), QWidget::RenderFlags());

    const QPixmap single(imagePrefix + image);
    const QPixmap twice(imagePrefix + doubleName(image));
    QVERIFY(!single.isNull());
    QVERIFY(!twice.isNull());
    const double fromTwice = meanDifference(drawn, stretchedAtRatioTwo(twice, area));
    const double fromSingle = meanDifference(drawn, stretchedAtRatioTwo(single, area));
    const QString numbers = QStringLiteral("%1: %2 levels from the @2x image drawn, %3 from the "
                                           "1x image stretched")
                                .arg(objectName)
                                .arg(fromTwice, 0, 'f', 3)
                                .arg(fromSingle, 0, 'f', 3);
    QVERIFY2(fromTwice < 0.5, qPrintable(numbers));
    QVERIFY2(fromSingle > 4 * fromTwice + 0.2, qPrintable(numbers));
}

int main(int argc, char* argv[])
{
    // Qt reads the scale factor when the application starts; the style sheet test needs a
    // screen of ratio 2, which is what 200 % display scaling gives.
    qputenv("QT_SCALE_FACTOR", "2");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestHiDpiImages test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hidpiimages.moc"
