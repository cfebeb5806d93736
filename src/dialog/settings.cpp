#include "configfile.h"
#include "debugtext.h"
#include "ui_updatetarvildialog.h"
#include "updatetarvildialog.h"

#include <QDebug>

void UpdateTarvilDialog::readSettings(const QString& fileName)
{
    {
        const auto settings = openConfig(fileName);
        ui->label_ContactUs->setText(settings->value(QLatin1String(ConfigKey::contact)).toString());
        programVersion = settings->value(QLatin1String(ConfigKey::programVersion)).toString();
        databaseVersion = settings->value(QLatin1String(ConfigKey::databaseVersion)).toString();
        imagesVersion = settings->value(QLatin1String(ConfigKey::imagesVersion)).toString();
    }
    if (imagesVersion.isEmpty())
        imagesVersion = QStringLiteral("1.000");

    const QString line
        = QStringLiteral("ContactUs:%1 V_Program:%2 V_Database:%3 V_Images:%4")
              .arg(ui->label_ContactUs->text(), programVersion, databaseVersion, imagesVersion);
    qDebug().noquote() << quoted(line);
    CheckProgramUpdate();
}

void UpdateTarvilDialog::writeIni()
{
    const auto settings = openConfigForWrite();
    if (!settings)
        return;
    if (curType == 0) {
        settings->setValue(QLatin1String(ConfigKey::programVersion), VerList.last());
        qDebug().noquote() << "writeIni Version/PROGRAM VerList.last():" << quoted(VerList.last());
    } else {
        const QString version = VerList.at(VerIndex);
        settings->setValue(QLatin1String(ConfigKey::databaseVersion), version);
        qDebug().noquote() << "writeIni Version/DATABASE VerList.at(VerIndex):" << quoted(version);
    }
    commitConfig(*settings);
}
