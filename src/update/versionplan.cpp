#include "versionplan.h"

#include <QLocale>
#include <QtNumeric>

float readVersion(const QString& text)
{
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator);
    bool ok = false;
    const float value = c.toFloat(text.trimmed(), &ok);
    // "nan" and "inf" would never compare as reached and plan a full list of nonsense.
    return ok && qIsFinite(value) ? value : 0.0f;
}

QString renderVersion(float value) { return QString::number(static_cast<double>(value), 'f', 3); }

QString decodeVersionReply(const QByteArray& body)
{
    const int nul = body.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? body : body.left(nul));
}

QStringList versionPlan(const QString& server, const QString& installed,
    const std::function<void(float, float)>& onPass)
{
    const float serverValue = readVersion(server);
    float current = readVersion(installed);
    QStringList plan;
    for (int counter = maxPlanEntries; counter > 0; --counter) {
        if (onPass)
            onPass(current, serverValue);
        // Compared on the three-decimal renderings, so 1.0004 is not newer than 1.000.
        if (readVersion(renderVersion(current)) >= readVersion(renderVersion(serverValue)))
            break;
        current = static_cast<float>(static_cast<double>(current) + 0.001);
        plan.append(renderVersion(current));
    }
    return plan;
}
