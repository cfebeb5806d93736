// The window at every display scaling: it fits a 1366x768 laptop's work area, shrunk where
// it must be, and each label's text, drawn at the scale the window is shown at, stays inside
// its label. A text is cut off when its glyphs reach the edge of the label's rectangle.

#include "dialogfixture.h"
#include "displayscale.h"
#include "updatetarvildialog.h"

#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QRegularExpression>
#include <QtTest>

namespace {

// The longest texts the labels show.
const QString statusText = QStringLiteral("正在升级配置文件...1.002");
const QString contactText
    = QStringLiteral("客服电话 400-800-1234 (工作日 9:00-18:00) QQ 800820882");

// The label alone, drawn as the window would draw it at `scale` device pixels per logical
// pixel, on a transparent ground.
QImage drawLabel(QLabel* label, qreal scale)
{
    const QSize pixels = (QSizeF(label->size()) * scale).toSize();
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    label->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// The label's point sizes times `growth`, as a screen of more DPI than Qt assumes makes them.
void growFonts(QLabel* label, qreal growth)
{
    static const QRegularExpression points(QStringLiteral("(\\d+)pt"));
    QString sheet = label->styleSheet();
    const QRegularExpressionMatch match = points.match(sheet);
    if (!match.hasMatch())
        return;
    const int grown = qRound(match.captured(1).toInt() * growth);
    sheet.replace(match.capturedStart(1), match.capturedLength(1), QString::number(grown));
    label->setStyleSheet(sheet);
}

bool inked(const QImage& image, int x, int y) { return qAlpha(image.pixel(x, y)) > 0; }

// Some glyph pixels, and none on the outermost rows and columns.
bool textFitsInside(const QImage& image, QString* why)
{
    bool any = false;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (!inked(image, x, y))
                continue;
            any = true;
            if (x == 0 || y == 0 || x == image.width() - 1 || y == image.height() - 1) {
                *why = QStringLiteral("glyphs reach the edge at %1,%2 of %3x%4")
                           .arg(x)
                           .arg(y)
                           .arg(image.width())
                           .arg(image.height());
                return false;
            }
        }
    }
    *why = any ? QString() : QStringLiteral("nothing drawn");
    return any;
}

} // namespace

class TestScaling : public QObject {
    Q_OBJECT

private slots:
    void init() { m_fixture.setUp(); }
    void cleanup() { m_fixture.tearDown(); }

    void windowFitsTheWorkArea_data();
    void windowFitsTheWorkArea();
    void everyLabelTextFitsAtEveryScaling_data();
    void everyLabelTextFitsAtEveryScaling();

private:
    DialogFixture m_fixture;
};

void TestScaling::windowFitsTheWorkArea_data()
{
    QTest::addColumn<QSize>("workArea"); // device pixels, the taskbar left out
    QTest::addColumn<qreal>("scaling");
    QTest::addColumn<qreal>("shrink"); // expected

    const QSize laptop(1366, 728);
    const QSize fullHd(1920, 1040);
    QTest::newRow("1366x768 at 100 %") << laptop << 1.0 << 1.0;
    QTest::newRow("1366x768 at 125 %") << laptop << 1.25 << 728 / 875.0;
    QTest::newRow("1366x768 at 150 %") << laptop << 1.5 << 728 / 1050.0;
    QTest::newRow("1366x768 at 200 %") << laptop << 2.0 << 728 / 1400.0;
    QTest::newRow("1920x1080 at 125 %") << fullHd << 1.25 << 1.0;
    QTest::newRow("1920x1080 at 150 %") << fullHd << 1.5 << 1040 / 1050.0;
    QTest::newRow("portrait 768x1366 at 100 %") << QSize(768, 1326) << 1.0 << 0.768;
    QTest::newRow("unknown work area") << QSize() << 1.5 << 1.0;
}

void TestScaling::windowFitsTheWorkArea()
{
    QFETCH(QSize, workArea);
    QFETCH(qreal, scaling);
    QFETCH(qreal, shrink);

    const QSize window = UpdateTarvilDialog::windowSize();
    const qreal factor = shrinkToFit(window, QSizeF(workArea) / scaling);
    QVERIFY2(qAbs(factor - shrink) < 1e-9, qPrintable(QString::number(factor, 'g', 12)));
    if (workArea.isEmpty())
        return;
    const QSizeF shown = QSizeF(window) * factor * scaling;
    QVERIFY(shown.width() <= workArea.width() + 1e-6);
    QVERIFY(shown.height() <= workArea.height() + 1e-6);
}

void TestScaling::everyLabelTextFitsAtEveryScaling_data()
{
    QTest::addColumn<qreal>("scale"); // device pixels per logical pixel
    QTest::addColumn<qreal>("fontGrowth"); // of the point sizes, against the rectangles
    QTest::addColumn<bool>("fits");

    // With Qt's scaling the form's points keep their size against the rectangles and
    // everything is drawn at the screen's factor, shrunk on a 1366x768 laptop.
    const QSizeF laptop(1366, 728);
    for (const qreal scaling : { 1.0, 1.25, 1.5, 2.0 }) {
        const qreal scale
            = scaling * shrinkToFit(UpdateTarvilDialog::windowSize(), laptop / scaling);
        QTest::addRow("%d %% on a large screen", int(scaling * 100)) << scaling << 1.0 << true;
        QTest::addRow("%d %% on a 1366x768 laptop", int(scaling * 100)) << scale << 1.0 << true;
    }
    // Without it, fonts grow with the DPI inside rectangles of unscaled pixels: the fault
    // the scaling mends, which this check must see.
    QTest::newRow("150 % without Qt's scaling") << 1.0 << 1.5 << false;
}

void TestScaling::everyLabelTextFitsAtEveryScaling()
{
    QFETCH(qreal, scale);
    QFETCH(qreal, fontGrowth);
    QFETCH(bool, fits);

    UpdateTarvilDialog dialog;
    dialog.ensureForm();
    auto* status = dialog.findChild<QLabel*>(QStringLiteral("label_text"));
    auto* contact = dialog.findChild<QLabel*>(QStringLiteral("label_ContactUs"));
    QVERIFY(status && contact);
    status->setText(statusText);
    contact->setText(contactText);
    bool allFit = true;
    for (QLabel* label : { status, contact }) {
        growFonts(label, fontGrowth);
        QString why;
        const bool inside = textFitsInside(drawLabel(label, scale), &why);
        if (fits)
            QVERIFY2(inside, qPrintable(label->objectName() + QStringLiteral(": ") + why));
        allFit = allFit && inside;
    }
    QCOMPARE(allFit, fits);
}

QTEST_MAIN(TestScaling)
#include "tst_scaling.moc"
