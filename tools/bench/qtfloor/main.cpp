// qtfloor BASEURL: what any Qt Widgets updater does when nothing is new, and nothing more.
// An application object, one hidden plain widget, a network access manager, the two version
// questions one after the other, a detached start of ./Orbelan.exe with one empty argument.
#include <QApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString base = QString::fromLocal8Bit(argv[1]);
    QWidget window;
    QNetworkAccessManager manager;
    auto ask = [&](const char* path) {
        return manager.get(QNetworkRequest(QUrl(base + QLatin1String(path))));
    };
    QNetworkReply* program = ask("/client/verProgram.php");
    QObject::connect(program, &QNetworkReply::finished, [&] {
        QNetworkReply* database = ask("/client/verDll.php");
        QObject::connect(database, &QNetworkReply::finished, [&] {
            QProcess::startDetached(
                QCoreApplication::applicationDirPath() + QLatin1String("/Orbelan.exe"),
                { QString() }, QCoreApplication::applicationDirPath());
            QCoreApplication::quit();
        });
    });
    return app.exec();
}
