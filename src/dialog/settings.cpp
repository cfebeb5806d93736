#include "configfile.h"
#include "debugtext.h"
#include "updatetarvildialog.h"

#include <QDebug>

// A value as text. The INI format reads a value with an unquoted comma in it as a list of
// strings, which converts to an empty text: such a contact line ("电话: 400-123-4567, QQ: 1")
// would show nothing. The parts are joined again the way the format writes a list back.
static QString settingText(const QSettings& settings, const char* key)
{
    const QVariant value = settings.value(QLatin1String(key));
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1String(", "));
    return value.toString();
}

void UpdateTarvilDialog::readSettings(const QString& fileName)
{
    {
        const auto settings = openConfig(fileName);
        setContactText(settingText(*settings, ConfigKey::contact));
        programVersion = settingText(*settings, ConfigKey::programVersion);
        databaseVersion = settingText(*settings, ConfigKey::databaseVersion);
        imagesVersion = settingText(*settings, ConfigKey::imagesVersion);
    }
    if (imagesVersion.isEmpty())
        imagesVersion = QStringLiteral("1.000");

    const QString line = QStringLiteral("ContactUs:%1 V_Program:%2 V_Database:%3 V_Images:%4")
                             .arg(contactText, programVersion, databaseVersion, imagesVersion);
    qDebug().noquote() << quoted(line);
    CheckProgramUpdate();
}

bool UpdateTarvilDialog::writeIni()
{
    const auto settings = openConfigForWrite();
    if (!settings)
        return false;
    settings->setValue(QLatin1String(recordKey()), recordVersion());
    if (curType == 0)
        qDebug().noquote() << "writeIni Version/PROGRAM VerList.last():" << quoted(VerList.last());
    else
        qDebug().noquote() << "writeIni Version/DATABASE VerList.at(VerIndex):"
                           << quoted(VerList.at(VerIndex));
    return commitConfig(*settings);
}
