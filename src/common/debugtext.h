#ifndef DEBUGTEXT_H
#define DEBUGTEXT_H

#include <QString>

// A log line in the updater's own voice: the tag every such line starts with, then `text`.
inline QString tagged(const QString& text)
{
    return QStringLiteral("[UpdateTarvilDialog]:") + text;
}

// A string value as the log shows it: in plain double quotes, nothing escaped. Every
// message that carries one is streamed with noquote(), since Qt's own quoting escapes
// quotes, line breaks and all non-ASCII text.
inline QString quoted(const QString& text) { return QLatin1Char('"') + text + QLatin1Char('"'); }

// Text a server chose (a reply body, an error string naming its URLs) as one log line:
// line breaks, other control characters and line separators become escapes, and so does
// the backslash, so the escapes stay unambiguous. Printable text, Chinese included, stays.
inline QString escapedServerText(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            escaped += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            escaped += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            escaped += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            escaped += QLatin1String("\\t");
        else if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line
            || c.category() == QChar::Separator_Paragraph)
            escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    return escaped;
}

#endif // DEBUGTEXT_H
