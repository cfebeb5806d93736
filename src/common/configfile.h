#ifndef CONFIGFILE_H
#define CONFIGFILE_H

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <memory>

// Config.ini is shared with the main program; its keys are named here and nowhere else.
namespace ConfigKey {
extern const char contact[];
extern const char programVersion[];
extern const char databaseVersion[];
extern const char imagesVersion[];
extern const char logoType[];
extern const char appModel[];
extern const char apiUrl[];
extern const char packageUrl[];
extern const char timeoutMs[];
}

extern const char configFileName[];
// Config.ini in the application directory.
QString configPath();
constexpr int defaultTimeoutMs = 30000;

// Opens the settings file in INI format with the GB2312 codec, the encoding the main
// program reads. Every access goes through here so the file keeps one encoding.
std::unique_ptr<QSettings> openConfig(const QString& fileName = configPath());

// Opens the file for a change, or returns null (after one log line) when the settings
// class could not parse it (writing it back would drop whatever it failed to parse) or its
// directory cannot be written. A lock file left unreadable by a killed writer is removed.
std::unique_ptr<QSettings> openConfigForWrite(const QString& fileName = configPath());

// Around each write of the settings file: notes the names of the settings class's own new
// files already beside it, and drops the note once the write is through.
bool markConfigWrite(const QString& fileName);
void clearConfigWriteMark(const QString& fileName);

// After a write of the updater's that was interrupted (its note is still there): removes the
// new files of the settings class's form that appeared beside the file since, unless a
// writer holds the file's lock now; returns their names. Any other file stays.
QStringList removeInterruptedConfigWrites(const QString& fileName = configPath());

// Writes pending changes; logs and returns false when they did not reach the disk.
bool commitConfig(QSettings& settings);

// Sets one key and writes the file; false when the change did not land.
bool writeConfigValue(const char* key, const QString& value);

// The servers and the request time limit, read afresh each time a request is formed.
// Each may list several base URLs, separated by commas: the first is asked first, the next
// when one fails. The single-URL forms give the first.
QStringList apiBaseUrls();
QStringList packageBaseUrls();
QString apiBaseUrl();
QString packageBaseUrl();
// The base URLs in a setting's value; `fallback` when it names none.
QStringList baseUrlList(const QVariant& value, const char* fallback);
int requestTimeoutMs();

// A base URL joined with a fixed path, parsed tolerantly, rendered fully encoded and
// parsed again. `rendered` receives the text the log shows.
QUrl serverUrl(const QString& base, const QString& path, QString* rendered = nullptr);

#endif // CONFIGFILE_H
