#ifndef DEBUGTEXT_H
#define DEBUGTEXT_H

#include <QString>

// A string value as the log shows it: in plain double quotes, nothing escaped. Every
// message that carries one is streamed with noquote(), since Qt's own quoting escapes
// quotes, line breaks and all non-ASCII text.
inline QString quoted(const QString& text) { return QLatin1Char('"') + text + QLatin1Char('"'); }

#endif // DEBUGTEXT_H
