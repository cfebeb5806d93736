// Draws the seven images of the update window into a directory, each also at twice the
// pixel size as <name>@2x.<ext>, which Qt loads instead on a scaled display, and with a
// second argument the program's Windows icon as well:
//   imagegen <directory> [<icon file>]
// The artwork lives here rather than as hand-edited binaries, so a change of colour or
// name is one edit and one run.
//
// Everything is drawn in window pixels on images whose device pixel ratio is the output
// scale, so QPainter scales coordinates, pen widths and text paths by itself; what works on
// raw pixels (canvas sizes, blur radii, the background's noise) scales explicitly.

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QTextStream>
#include <QtMath>

#include <cstdio>

namespace {

const QString fontFamily = QStringLiteral("WenQuanYi Micro Hei");

QFont makeFont(int pixelSize, int weight, qreal spacing = 0)
{
    QFont font(fontFamily);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    if (spacing != 0)
        font.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return font;
}

// An empty image of `width` by `height` window pixels at `scale` device pixels each.
QImage transparentImage(int width, int height, int scale = 1)
{
    QImage image(width * scale, height * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    return image;
}

// Box blur of a premultiplied image, three passes, which comes close to a Gaussian;
// used for soft shadows and glows. The radius is in window pixels, so a shadow keeps its
// softness on a 2x image.
QImage blurred(const QImage& source, int windowRadius)
{
    QImage image = source.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int radius = qRound(windowRadius * source.devicePixelRatioF());
    const int w = image.width();
    const int h = image.height();
    QVector<int> sums(4);
    for (int pass = 0; pass < 3; ++pass) {
        for (int horizontal = 0; horizontal < 2; ++horizontal) {
            const int lines = horizontal ? h : w;
            const int length = horizontal ? w : h;
            QVector<QRgb> line(length);
            for (int l = 0; l < lines; ++l) {
                for (int i = 0; i < length; ++i)
                    line[i] = horizontal ? image.pixel(i, l) : image.pixel(l, i);
                for (int i = 0; i < length; ++i) {
                    int a = 0, r = 0, g = 0, b = 0, n = 0;
                    for (int k = qMax(0, i - radius); k <= qMin(length - 1, i + radius); ++k) {
                        a += qAlpha(line[k]);
                        r += qRed(line[k]);
                        g += qGreen(line[k]);
                        b += qBlue(line[k]);
                        ++n;
                    }
                    const QRgb value = qRgba(r / n, g / n, b / n, a / n);
                    if (horizontal)
                        image.setPixel(i, l, value);
                    else
                        image.setPixel(l, i, value);
                }
            }
        }
    }
    return image;
}

// Fills a path and, with `embolden` > 0, strokes its outline as well: the font has no
// bold face of its own, and a stroked outline reads heavier than a synthetic bold.
void fillThick(QPainter& painter, const QPainterPath& path, const QBrush& brush, qreal embolden)
{
    painter.fillPath(path, brush);
    if (embolden > 0)
        painter.strokePath(path, QPen(brush, embolden, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
}

// A path filled with a soft shadow below it; `canvas` in window pixels.
void fillWithShadow(QPainter& painter, const QSize& canvas, int scale, const QPainterPath& path,
    const QBrush& brush, qreal embolden, const QPointF& shadowOffset, int shadowAlpha,
    int blurRadius)
{
    QImage shadow = transparentImage(canvas.width(), canvas.height(), scale);
    {
        QPainter p(&shadow);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(shadowOffset);
        fillThick(p, path, QColor(0, 10, 30, shadowAlpha), embolden);
    }
    painter.drawImage(0, 0, blurred(shadow, blurRadius));
    fillThick(painter, path, brush, embolden);
}

QPainterPath textPath(const QString& text, const QFont& font, const QPointF& baseline)
{
    QPainterPath path;
    path.addText(baseline, font, text);
    return path;
}

qreal textWidth(const QString& text, const QFont& font)
{
    return textPath(text, font, QPointF()).boundingRect().width();
}

// Deep blue, lighter towards the logo, with a few low-contrast arcs and waves; the
// band of the status text and progress bar (y 440..540) stays plain so white text reads.
QImage background(int scale)
{
    const int w = 1024, h = 700;
    const QRectF area(0, 0, w, h);
    QImage image(w * scale, h * scale, QImage::Format_RGB32);
    image.setDevicePixelRatio(scale);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient base(0, 0, 0, h);
    base.setColorAt(0.0, QColor(14, 52, 104));
    base.setColorAt(0.55, QColor(10, 38, 82));
    base.setColorAt(1.0, QColor(6, 22, 52));
    p.fillRect(area, base);

    QRadialGradient glow(QPointF(w * 0.48, 250), 430);
    glow.setColorAt(0.0, QColor(56, 140, 230, 95));
    glow.setColorAt(0.5, QColor(40, 110, 200, 35));
    glow.setColorAt(1.0, QColor(40, 110, 200, 0));
    p.fillRect(area, glow);

    // Large faint rings in the corners.
    p.setBrush(Qt::NoBrush);
    const struct {
        QPointF centre;
        qreal radius;
        int alpha;
    } rings[] = {
        { { -60, -40 }, 300, 18 },
        { { -60, -40 }, 360, 10 },
        { { 1090, 120 }, 250, 16 },
        { { 1090, 120 }, 320, 9 },
        { { 960, 760 }, 220, 12 },
    };
    for (const auto& ring : rings) {
        p.setPen(QPen(QColor(150, 200, 255, ring.alpha), 2));
        p.drawEllipse(ring.centre, ring.radius, ring.radius);
    }
    QRadialGradient orb(QPointF(880, 90), 160);
    orb.setColorAt(0.0, QColor(90, 170, 255, 40));
    orb.setColorAt(1.0, QColor(90, 170, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(orb);
    p.drawEllipse(QPointF(880, 90), 160, 160);

    // Soft waves along the bottom, under the contact line.
    const struct {
        qreal top;
        qreal amplitude;
        qreal phase;
        QColor colour;
    } waves[] = {
        { 585, 22, 0.0, QColor(60, 140, 230, 26) },
        { 605, 18, 1.7, QColor(80, 170, 250, 20) },
        { 630, 14, 3.1, QColor(20, 80, 170, 45) },
    };
    for (const auto& wave : waves) {
        QPainterPath path(QPointF(0, h));
        for (int x = 0; x <= w; x += 8) {
            const qreal y = wave.top + wave.amplitude * qSin(x / 170.0 + wave.phase);
            path.lineTo(x, y);
        }
        path.lineTo(w, h);
        path.closeSubpath();
        p.fillPath(path, wave.colour);
    }

    // A fine dot grid in the top-left corner, fading out.
    for (int y = 40; y < 220; y += 16) {
        for (int x = 40; x < 260; x += 16) {
            const qreal fade = 1.0 - qMin(1.0, qSqrt(qreal(x * x + y * y)) / 280.0);
            if (fade <= 0)
                continue;
            p.setBrush(QColor(170, 210, 255, int(40 * fade)));
            p.drawEllipse(QPointF(x, y), 1.3, 1.3);
        }
    }

    // A hairline frame, so the frameless window has an edge on any desktop.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(140, 190, 255, 60), 2));
    p.drawRect(QRectF(1, 1, w - 2, h - 2));
    p.end();

    // A little noise keeps the gradient from banding after JPEG compression; one value per
    // device pixel, so a 2x image is not grainier than the 1x one.
    QRandomGenerator random(20240517);
    for (int y = 0; y < image.height(); ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int n = int(random.bounded(5)) - 2;
            line[x] = qRgb(qBound(0, qRed(line[x]) + n, 255), qBound(0, qGreen(line[x]) + n, 255),
                qBound(0, qBlue(line[x]) + n, 255));
        }
    }
    return image;
}

struct Brand {
    QString name;
    QString tagline;
    QColor light;
    QColor dark;
    QColor taglineColour;
    enum Emblem { Orbit, Chevron, Steps } emblem;
};

// The emblem in a square of the given size at the origin.
QPainterPath emblemOutline(const Brand& brand, qreal size)
{
    QPainterPath outline;
    const QPointF c(size / 2, size / 2);
    if (brand.emblem == Brand::Orbit) {
        outline.addEllipse(c, size * 0.36, size * 0.36);
        return outline;
    }
    if (brand.emblem == Brand::Steps) {
        outline.addRoundedRect(
            QRectF(size * 0.1, size * 0.1, size * 0.8, size * 0.8), size * 0.2, size * 0.2);
        return outline;
    }
    QPolygonF hexagon;
    for (int i = 0; i < 6; ++i) {
        const qreal angle = qDegreesToRadians(60.0 * i - 90.0);
        hexagon << c + QPointF(qCos(angle), qSin(angle)) * size * 0.42;
    }
    outline.addPolygon(hexagon);
    outline.closeSubpath();
    return outline;
}

void drawEmblem(QPainter& p, const Brand& brand, qreal size)
{
    const QPointF c(size / 2, size / 2);
    const QPainterPath outline = emblemOutline(brand, size);
    QLinearGradient fill(0, 0, size, size);
    fill.setColorAt(0.0, brand.light);
    fill.setColorAt(1.0, brand.dark);
    p.setPen(Qt::NoPen);
    p.fillPath(outline, fill);
    // A highlight on the upper half gives the emblem some depth.
    QLinearGradient shine(0, 0, 0, size);
    shine.setColorAt(0.0, QColor(255, 255, 255, 90));
    shine.setColorAt(0.5, QColor(255, 255, 255, 0));
    p.fillPath(outline, shine);

    const qreal line = qMax(1.5, size * 0.055);
    if (brand.emblem == Brand::Orbit) {
        // An orbit around the sphere with a small satellite on it.
        p.save();
        p.translate(c);
        p.rotate(-28);
        p.setPen(QPen(QColor(255, 255, 255, 235), line, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(0, 0), size * 0.48, size * 0.17);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(size * 0.48, 0), line * 1.5, line * 1.5);
        p.restore();
        // An open book on the sphere.
        const qreal b = size * 0.16;
        QPainterPath book;
        book.moveTo(c + QPointF(0, -b * 0.55));
        book.quadTo(c + QPointF(-b * 0.6, -b * 0.95), c + QPointF(-b * 1.2, -b * 0.7));
        book.lineTo(c + QPointF(-b * 1.2, b * 0.75));
        book.quadTo(c + QPointF(-b * 0.6, b * 0.5), c + QPointF(0, b * 0.9));
        book.quadTo(c + QPointF(b * 0.6, b * 0.5), c + QPointF(b * 1.2, b * 0.75));
        book.lineTo(c + QPointF(b * 1.2, -b * 0.7));
        book.quadTo(c + QPointF(b * 0.6, -b * 0.95), c + QPointF(0, -b * 0.55));
        book.closeSubpath();
        p.fillPath(book, QColor(255, 255, 255, 245));
        p.setPen(QPen(brand.dark, qMax(1.0, line * 0.6)));
        p.drawLine(c + QPointF(0, -b * 0.5), c + QPointF(0, b * 0.85));
    } else if (brand.emblem == Brand::Steps) {
        // Three rising bars.
        const qreal bar = size * 0.13;
        const qreal floor = size * 0.72;
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 240));
        for (int i = 0; i < 3; ++i) {
            const qreal height = size * (0.18 + 0.14 * i);
            p.drawRoundedRect(
                QRectF(size * 0.23 + i * (bar + size * 0.05), floor - height, bar, height),
                bar * 0.3, bar * 0.3);
        }
    } else {
        // A chevron "V" with a rising tick: progress.
        const qreal s = size * 0.2;
        p.setPen(QPen(Qt::white, line * 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        QPainterPath v;
        v.moveTo(c + QPointF(-s * 1.1, -s * 0.8));
        v.lineTo(c + QPointF(0, s * 1.0));
        v.lineTo(c + QPointF(s * 1.1, -s * 0.8));
        p.drawPath(v);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 214, 120));
        p.drawEllipse(c + QPointF(s * 1.1, -s * 0.8), line * 1.5, line * 1.5);
    }
}

// The large logo: emblem and wordmark, with a tagline, centred on the window's middle
// (the logo label starts at x 180 of the 1000-pixel window, so that is x 320 here).
QImage largeLogo(const Brand& brand, int scale)
{
    const QSize canvas(602, 163);
    QImage image = transparentImage(canvas.width(), canvas.height(), scale);
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);

    const qreal emblemSize = 132;
    const qreal gap = 22;
    const QFont wordFont = makeFont(84, QFont::Bold, 1.5);
    const QFont tagFont = makeFont(20, QFont::Normal, 3);
    const qreal wordWidth = textWidth(brand.name, wordFont);
    const qreal tagWidth = textWidth(brand.tagline, tagFont);
    const qreal textBlock = qMax(wordWidth, tagWidth);
    const qreal total = emblemSize + gap + textBlock;
    const qreal left = qBound(4.0, 320.0 - total / 2, canvas.width() - 4.0 - total);

    QImage emblem = transparentImage(int(emblemSize) + 24, int(emblemSize) + 24, scale);
    {
        QPainter e(&emblem);
        e.setRenderHint(QPainter::Antialiasing);
        e.translate(12, 12);
        drawEmblem(e, brand, emblemSize);
    }
    QImage emblemShadow = transparentImage(int(emblemSize) + 24, int(emblemSize) + 24, scale);
    {
        QPainter s(&emblemShadow);
        s.setRenderHint(QPainter::Antialiasing);
        s.translate(12, 16);
        s.fillPath(emblemOutline(brand, emblemSize), QColor(0, 10, 30, 110));
    }
    // QPainter puts an unscaled image on whole pixels; rounding here keeps the 2x emblem
    // where the 1x one lands instead of up to half a window pixel beside it.
    const QPoint emblemAt(qRound(left - 12), qRound((canvas.height() - emblemSize) / 2 - 12));
    p.drawImage(emblemAt, blurred(emblemShadow, 5));
    p.drawImage(emblemAt, emblem);

    const qreal textLeft = left + emblemSize + gap;
    const QPainterPath word = textPath(brand.name, wordFont, QPointF(textLeft, 96));
    QLinearGradient wordFill(0, 20, 0, 100);
    wordFill.setColorAt(0.0, Qt::white);
    wordFill.setColorAt(1.0, QColor(220, 236, 255));
    fillWithShadow(p, canvas, scale, word, wordFill, 2.6, QPointF(0, 3), 120, 3);

    const QPainterPath tag
        = textPath(brand.tagline, tagFont, QPointF(textLeft + (wordWidth - tagWidth) / 2 + 3, 136));
    fillWithShadow(p, canvas, scale, tag, brand.taglineColour, 0, QPointF(0, 2), 100, 2);
    // Thin rules either side of the tagline tie it to the wordmark, where there is room.
    const QRectF tagBox = tag.boundingRect();
    const qreal ruleLength = tagBox.left() - 10 - (textLeft + 4);
    if (ruleLength >= 20) {
        p.setPen(QPen(brand.taglineColour, 1.2));
        p.setOpacity(0.7);
        p.drawLine(QPointF(textLeft + 4, tagBox.center().y()),
            QPointF(tagBox.left() - 10, tagBox.center().y()));
        p.drawLine(QPointF(tagBox.right() + 10, tagBox.center().y()),
            QPointF(textLeft + wordWidth - 2, tagBox.center().y()));
    }
    p.end();
    return image;
}

// The 99 by 29 header mark: small emblem and name.
QImage headerMark(const Brand& brand, int scale)
{
    QImage image = transparentImage(99, 29, scale);
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    p.save();
    p.translate(2, 1.5);
    drawEmblem(p, brand, 26);
    p.restore();
    const QFont font = makeFont(16, QFont::Bold, 0.3);
    const QPainterPath word = textPath(brand.name, font, QPointF(31, 20.5));
    fillThick(p, word, Qt::white, 0.6);
    p.end();
    return image;
}

// The close button, 9 by 11: a cross in the middle 9 by 9 square.
QImage closeGlyph(const QColor& colour, int scale)
{
    QImage image = transparentImage(9, 11, scale);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour, 1.7, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(1.2, 2.2), QPointF(7.8, 8.8));
    p.drawLine(QPointF(7.8, 2.2), QPointF(1.2, 8.8));
    p.end();
    return image;
}

bool save(
    const QImage& image, const QDir& dir, const QString& name, const char* format, int quality = -1)
{
    const QString path = dir.filePath(name);
    QImage out = image;
    if (qstrcmp(format, "PNG") == 0)
        out = image.convertToFormat(QImage::Format_ARGB32);
    if (out.save(path, format, quality))
        return true;
    QTextStream(stderr) << "imagegen: cannot write " << path << '\n';
    return false;
}

// The Orbelan emblem on its own, square, for the program icon.
QImage iconFrame(const Brand& brand, int size)
{
    QImage image = transparentImage(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawEmblem(p, brand, size);
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

// A Windows .ico holding one PNG-compressed frame per size (Windows Vista and later read
// PNG frames at every size); a size of 256 is written as 0 in the directory.
bool saveIcon(const Brand& brand, const QString& path)
{
    const QVector<int> sizes { 16, 24, 32, 48, 64, 128, 256 };
    QVector<QByteArray> frames;
    for (const int size : sizes) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        iconFrame(brand, size).save(&buffer, "PNG");
        frames.append(png);
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        QTextStream(stderr) << "imagegen: cannot write " << path << '\n';
        return false;
    }
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(sizes.size());
    quint32 offset = 6 + 16 * sizes.size();
    for (int i = 0; i < sizes.size(); ++i) {
        const quint8 side = quint8(sizes[i] >= 256 ? 0 : sizes[i]);
        out << side << side << quint8(0) << quint8(0) << quint16(1) << quint16(32)
            << quint32(frames[i].size()) << offset;
        offset += quint32(frames[i].size());
    }
    for (const QByteArray& frame : frames)
        out.writeRawData(frame.constData(), frame.size());
    return out.status() == QDataStream::Ok && file.flush();
}

} // namespace

int main(int argc, char* argv[])
{
    // Drawing needs no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        QTextStream(stderr) << "usage: imagegen <directory> [<icon file>]\n";
        return 2;
    }
    if (!QFontDatabase().families().contains(fontFamily))
        QTextStream(stderr) << "imagegen: font " << fontFamily
                            << " not installed, a generic sans is used\n";
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(dir.path())) {
        QTextStream(stderr) << "imagegen: cannot create " << dir.path() << '\n';
        return 1;
    }

    const Brand orbelan { QStringLiteral("Orbelan"), QStringLiteral("智能备考 · 学习无忧"),
        QColor(86, 196, 255), QColor(22, 104, 214), QColor(170, 214, 255), Brand::Orbit };
    const Brand vantrel { QStringLiteral("Vantrel"), QStringLiteral("职业资格 · 在线备考"),
        QColor(40, 214, 180), QColor(10, 122, 132), QColor(255, 216, 150), Brand::Chevron };
    const Brand brenlow { QStringLiteral("Brenlow"), QString(), QColor(255, 190, 90),
        QColor(226, 110, 40), QColor(), Brand::Steps };

    bool ok = true;
    // Qt picks <name>@2x.<ext> beside <name>.<ext> when the screen's device pixel ratio is
    // above 1 (150 % scaling included), so one 2x set serves every scaling up to 200 %.
    for (const int scale : { 1, 2 }) {
        const auto name = [scale](const char* base, const char* extension) {
            return QString::fromLatin1(base) + (scale == 1 ? QString() : QStringLiteral("@2x"))
                + QLatin1Char('.') + QString::fromLatin1(extension);
        };
        // The background only at 1x: a soft gradient gains nothing at 2x, and Qt drawing a
        // 2048x1400 photo scaled into the translucent window at every repaint cost about
        // 70 MB and 0.4 s in a run.
        if (scale == 1)
            ok = save(background(scale), dir, name("beijing", "jpg"), "JPG", 92) && ok;
        ok = save(largeLogo(orbelan, scale), dir, name("logo", "png"), "PNG") && ok;
        ok = save(largeLogo(vantrel, scale), dir, name("vantrellogo", "png"), "PNG") && ok;
        ok = save(closeGlyph(QColor(255, 255, 255), scale), dir, name("close_namal", "png"), "PNG")
            && ok;
        ok = save(closeGlyph(QColor(255, 128, 96), scale), dir, name("close_hover", "png"), "PNG")
            && ok;
        ok = save(headerMark(orbelan, scale), dir, name("toubuorbelan", "png"), "PNG") && ok;
        ok = save(headerMark(brenlow, scale), dir, name("toububrenlow", "png"), "PNG") && ok;
    }
    if (argc == 3)
        ok = saveIcon(orbelan, QString::fromLocal8Bit(argv[2])) && ok;
    return ok ? 0 : 1;
}
