// Renders the update window, as it looks while a database package downloads, to a PNG:
//   dialogshot <output.png> [--vantrel-logo]
// No server is needed: the window is drawn before the event loop could deliver the
// answer to its first version request.

#include "logmessagehandler.h"
#include "updatetarvildialog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTextStream>

namespace {

// The form names this family; where it is missing, fontconfig picks the fallback. Only
// when no font with Chinese glyphs would be chosen does the tool step in.
void ensureChineseFont()
{
    const QString named = QStringLiteral("微软雅黑");
    const QFontDatabase fonts;
    if (fonts.families().contains(named))
        return;
    const QString wenQuanYi = QStringLiteral("WenQuanYi Micro Hei");
    const QFontInfo chosen { QFont(named) };
    if (!fonts.writingSystems(chosen.family()).contains(QFontDatabase::SimplifiedChinese)
        && fonts.families().contains(wenQuanYi))
        QFont::insertSubstitution(named, wenQuanYi);
}

bool writeConfig(const QString& path)
{
    const QString text = QStringLiteral("[Version]\r\nPROGRAM=1.000\r\nDATABASE=1.001\r\n"
                                        "[ContactUs]\r\n"
                                        "Contact1=客服电话：400-800-1234  工作时间：周一至周五 "
                                        "9:00-18:00\r\n"
                                        "[Server]\r\nApiUrl=http://127.0.0.1:1\r\n"
                                        "PackageUrl=http://127.0.0.1:1\r\n");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = QTextCodec::codecForName("GB2312")->fromUnicode(text);
    return file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const bool vantrelLogo = args.contains(QStringLiteral("--vantrel-logo"));
    QStringList paths = args;
    paths.removeAll(QStringLiteral("--vantrel-logo"));
    if (paths.size() != 1) {
        QTextStream(stderr) << "usage: dialogshot <output.png> [--vantrel-logo]\n";
        return 2;
    }
    const QString output = QFileInfo(paths.first()).absoluteFilePath();
    ensureChineseFont();

    // The dialog reads Config.ini from, and logs into, the current directory.
    QTemporaryDir scratch;
    const QString previous = QDir::currentPath();
    if (!scratch.isValid() || !QDir::setCurrent(scratch.path())
        || !writeConfig(QStringLiteral("Config.ini"))) {
        QTextStream(stderr) << "dialogshot: cannot prepare a temporary directory\n";
        return 1;
    }
    qInstallMessageHandler(logMessageHandler);

    bool saved = false;
    {
        UpdateTarvilDialog dialog;
        dialog.ensureForm();
        auto* status = dialog.findChild<QLabel*>(QStringLiteral("label_text"));
        auto* progress = dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
        auto* logo = dialog.findChild<QLabel*>(QStringLiteral("label_logo"));
        if (status && progress && logo) {
            status->setText(QStringLiteral("正在升级配置文件...%1").arg(QStringLiteral("1.002")));
            progress->setMaximum(10000000);
            progress->setValue(4200000);
            if (vantrelLogo)
                logo->setStyleSheet(QStringLiteral("border-image: url(:/images/vantrellogo.png);"));
            saved = dialog.grab().save(output, "PNG");
        }
    }
    qInstallMessageHandler(nullptr);
    QDir::setCurrent(previous);
    if (!saved) {
        QTextStream(stderr) << "dialogshot: cannot write " << output << '\n';
        return 1;
    }
    QTextStream(stdout) << output << '\n';
    return 0;
}
