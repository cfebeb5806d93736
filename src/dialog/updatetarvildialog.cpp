#include "updatetarvildialog.h"
#include "appdirectory.h"
#include "centring.h"
#include "configfile.h"
#include "debugtext.h"
#include "packagedownload.h"
#include "packageinstall.h"
#include "readahead.h"
#include "removedirtree.h"
#include "request.h"
#include "transaction.h"
#include "ui_updatetarvildialog.h"

#include <QDebug>
#include <QDir>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QNetworkAccessManager>
#include <QScreen>

UpdateTarvilDialog::UpdateTarvilDialog(QWidget* parent)
    : QDialog(parent)
    , ui(nullptr)
    , mainProcess(nullptr)
    , networkManager(nullptr)
    , dragging(false)
    , dragStartGlobal(0, 0)
    , windowPosAtPress(0, 0)
    , curType(0)
    , reply(nullptr)
    , downloadFile(nullptr)
    , VerIndex(0)
    , VerCount(0)
{
    // What the form would set, without building it; centring needs the size.
    setObjectName(QStringLiteral("UpdateTarvilDialog"));
    setWindowTitle(QStringLiteral("自动更新"));
    resize(windowSize());
    downloadDir = QStringLiteral("update");
    mainProgram = QStringLiteral("Orbelan.exe");
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::FramelessWindowHint | Qt::CustomizeWindowHint);
    hide();
    skipPolishWhileHidden();
    initialize();
}

void UpdateTarvilDialog::ensureForm()
{
    if (ui)
        return;
    ui = new Ui::UpdateTarvilDialog;
    ui->setupUi(this);
    if (!statusText.isNull())
        ui->label_text->setText(statusText);
    ui->label_ContactUs->setText(contactText);
    skipPolishWhileHidden();
}

Ui::UpdateTarvilDialog* UpdateTarvilDialog::form()
{
    ensureForm();
    return ui;
}

void UpdateTarvilDialog::setVisible(bool visible)
{
    if (visible)
        ensureForm();
    QDialog::setVisible(visible);
}

void UpdateTarvilDialog::setStatusText(const QString& text)
{
    statusText = text;
    if (ui)
        ui->label_text->setText(text);
}

void UpdateTarvilDialog::setContactText(const QString& text)
{
    contactText = text;
    if (ui)
        ui->label_ContactUs->setText(text);
}

void UpdateTarvilDialog::showProgress(int value, int maximum)
{
    QProgressBar* bar = form()->progressBar;
    // A negative maximum (no length known) pulls the minimum down with it: the busy bar.
    if (maximum < 0)
        bar->setMaximum(maximum);
    else
        bar->setRange(0, maximum);
    bar->setValue(value);
}

void UpdateTarvilDialog::showAlternateLogo()
{
    form()->label_logo->setStyleSheet(
        QStringLiteral("border-image: url(:/images/vantrellogo.png);"));
}

void UpdateTarvilDialog::skipPolishWhileHidden()
{
    // Qt polishes every new widget in its first event-loop pass, which for the form means
    // style sheets and decoded images. A hidden window does not need it, and show()
    // polishes the window and its children first anyway.
    QCoreApplication::removePostedEvents(this, QEvent::PolishRequest);
    const QList<QWidget*> widgets = findChildren<QWidget*>();
    for (QWidget* widget : widgets)
        QCoreApplication::removePostedEvents(widget, QEvent::PolishRequest);
}

UpdateTarvilDialog::~UpdateTarvilDialog()
{
    // An installation still running is stopped before the state it records goes away.
    delete installer;
    // The transfer writes into the download's file and may still be hashing kept bytes.
    delete packageDownload;
    // mainProcess is left alone on purpose: the main program must outlive the updater.
    if (networkManager)
        networkManager->deleteLater();
    delete ui;
    // A download cut short by the close button: closing the file writes out what is still
    // buffered, so the partial package holds every byte received.
    delete downloadFile;
}

void UpdateTarvilDialog::observeSteps(const std::function<void(RunStep)>& observer)
{
    stepObserver = observer;
}

// Logs nothing: the step shows in the lines each step writes already. A step entered again
// (the program package downloaded whole after its single files could not be) is no change.
void UpdateTarvilDialog::enterStep(RunStep next)
{
    if (next == step)
        return;
    step = next;
    if (stepObserver)
        stepObserver(next);
}

bool UpdateTarvilDialog::removeDirTree(const QString& path) { return removeTree(path); }

void UpdateTarvilDialog::releaseReply()
{
    // The differential path keeps its replies to itself.
    if (!reply)
        return;
    reply->deleteLater();
    reply = nullptr;
}

void UpdateTarvilDialog::initialize()
{
    networkManager = new ReadAheadLimitedManager();
    logCertificateErrors(networkManager);
    logProxyRefusals(networkManager);
    const QScreen* primary = QGuiApplication::primaryScreen();
    move(centredPosition(primary ? primary->availableGeometry() : QRect(), size()));

    appDir = applicationDirectory();
    downloadPath = appDir + QLatin1Char('/') + downloadDir;
    if (!QDir(downloadPath).exists())
        QDir().mkpath(downloadPath);
    QDir::setCurrent(appDir);
    recoverInterruptedInstall();
    readSettings(configPath());
}

void UpdateTarvilDialog::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    windowPosAtPress = pos();
    dragStartGlobal = event->globalPos();
    dragging = true;
}

void UpdateTarvilDialog::mouseMoveEvent(QMouseEvent* event)
{
    if (dragging)
        move(windowPosAtPress + (event->globalPos() - dragStartGlobal));
}

void UpdateTarvilDialog::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        dragging = false;
}

void UpdateTarvilDialog::paintEvent(QPaintEvent*)
{
    // Nothing of its own: with the translucent background the children paint everything.
}

// During an installation the run ends once the package is wholly old or wholly new again.
void UpdateTarvilDialog::on_pushButton_exit_clicked()
{
    if (installer && installer->isRunning()) {
        closeRequested = true;
        installer->cancel();
        return;
    }
    keepUnfinishedPackage();
    QCoreApplication::quit();
}

void UpdateTarvilDialog::recieveResult(int, QString) { initialize(); }

void UpdateTarvilDialog::slotReadyRead() { }

// A run killed while it installed a package left a journal: its rollback or its cleanup is
// finished before anything else, so no version question sees a half-installed package. A
// run killed while it wrote the settings left their new file beside them; its note lives in
// the journal's directory, which the recovery clears, so it is looked at first.
void UpdateTarvilDialog::recoverInterruptedInstall()
{
    for (const QString& name : removeInterruptedConfigWrites())
        qDebug().noquote() << quoted(
            QStringLiteral("removed %1, left by an interrupted write of the settings").arg(name));
    const QString line = InstallTransaction::recover(
        appDir, [](const QString& key) { return openConfig()->value(key).toString(); });
    if (!line.isEmpty())
        qDebug().noquote() << quoted(line);
}
