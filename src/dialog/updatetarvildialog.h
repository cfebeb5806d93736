#ifndef UPDATETARVILDIALOG_H
#define UPDATETARVILDIALOG_H

#include "cappedbody.h"
#include "keptpartial.h"
#include "runstep.h"
#include "signature.h"

#include <QDialog>
#include <QNetworkReply>
#include <QPoint>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <functional>

class DifferentialFetch;
class ElevatedCopy;
struct IndexEntry;
class QFile;
class QMouseEvent;
class QNetworkAccessManager;
class QPaintEvent;
class QProcess;
class PackageDownload;
class PackageInstaller;
struct PackageJob;
struct PackageOutcome;

namespace Ui {
class UpdateTarvilDialog;
}

// The updater's only window, and the conductor of one update run: it keeps the run's step
// and plan and drives the units that do each step's work (PackageDownload,
// DifferentialFetch, PackageInstaller), which hold the state of their own work.
class UpdateTarvilDialog : public QDialog {
    Q_OBJECT

public:
    // The window's size in logical pixels, the size the form is drawn for.
    static QSize windowSize() { return QSize(1000, 700); }
    explicit UpdateTarvilDialog(QWidget* parent = nullptr);
    ~UpdateTarvilDialog() override;

    void initialize();
    // The form (widgets, images, fonts, style sheets) is built only when first needed,
    // at the latest just before the window first shows: a run with nothing to install
    // never builds it. Tests that look at the widgets of a hidden window call this first.
    void ensureForm();
    void setVisible(bool visible) override;
    // The minisign public key lines package signatures must come from; none: packages are
    // installed unverified. Set before the event loop runs.
    void setTrustedKeys(const QStringList& keyLines);
    void readSettings(const QString& fileName);
    bool writeIni();
    void CheckProgramUpdate();
    void CheckDataBaseUpdate();
    QStringList buildVersionList(const QString& serverVersion, const QString& installedVersion);
    void startUpgrade(const QStringList& verList);
    void download(const QString& url);
    void requestPackage(const QUrl& url);
    bool removeDirTree(const QString& path);
    void launchMainProgram();

    // The step the run is in; `observer` sees every step entered from now on.
    RunStep currentStep() const { return step; }
    void observeSteps(const std::function<void(RunStep)>& observer);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

public slots:
    void slotError(QNetworkReply::NetworkError errorCode);

private slots:
    void recieveUpdateFinish();
    void on_pushButton_exit_clicked();
    void downloadProgress(qint64 current, qint64 total);
    void downloadFinished();
    void httpReadyRead();
    void recieveResult(int ret, QString ip);
    void slotReadyRead();

private:
    void recoverInterruptedInstall();
    bool needsAdministrator() const;
    void runAsAdministrator();
    QNetworkReply* sendVersionQuestion(const QUrl& url);
    void capVersionReply(QNetworkReply* versionReply);
    const char* recordKey() const;
    QString recordVersion() const;
    void showDownloadShare(qint64 done, qint64 total);
    void verifyThenInstall();
    void requestSignature();
    // Connected by member pointer: the slot table stays the one the form and tests know.
    void signatureReadyRead();
    void signatureFinished();
    QString signatureFailure() const;
    SignedPackage packageToSign() const;
    void installDownloadedPackage();
    void packageInstalled(const PackageOutcome& outcome);
    void abandonPackage(const QString& reason);
    void continueAfterPackage();
    // Every step changes here, and only here.
    void enterStep(RunStep next);
    // Works out the package at VerIndex of the step's plan, once, when the step turns to it.
    void beginPackage();
    QString packageUrl() const;
    void closeAndDeleteArchive();
    void skipPolishWhileHidden();
    Ui::UpdateTarvilDialog* form();
    // Texts kept until the form exists, then shown by it.
    void setStatusText(const QString& text);
    void setContactText(const QString& text);
    // The widgets are written only here, in the dialog's own files.
    void showProgress(int value, int maximum);
    void showAlternateLogo();
    // The finished reply in `reply` is let go; Qt deletes it once its signals are through.
    void releaseReply();
    // The package transfer (download.cpp).
    void startPackageDownload(const QString& url, qint64 limit, const KeptPartial& kept);
    void askAgainAfter(int seconds);
    void announceDownload(const QString& url);
    bool askNextApiServer();
    QString apiBase() const;
    // A package kept across runs (keptdownload.cpp).
    void settleKeptPartial(const QStringList& plan);
    bool hasKeptPartialFor(const QString& url) const;
    KeptPartial takeMatchingPartial(const QString& url, qint64 limit);
    void keepUnfinishedPackage();
    PackageJob packageJob();
    void startInstalling(const PackageJob& job);
    // The program package: only the files that differ, whole when that is not possible.
    void startProgramPackage();
    void startDifferentialFetch(const std::function<bool(const IndexEntry&)>& wanted,
        bool wholeBeyondHalf, void (UpdateTarvilDialog::*done)());
    void programFilesFetched();
    QSet<QString> damagedProgramFiles() const;
    void repairThenCheckDatabase();
    void repairFilesFetched();
    void installFetchedFiles(const QString& installedLine, bool repair);

    Ui::UpdateTarvilDialog* ui;
    QProcess* mainProcess;
    QNetworkAccessManager* networkManager;
    bool dragging;
    QPoint dragStartGlobal;
    QPoint windowPosAtPress;
    int curType;
    QNetworkReply* reply;
    QString programVersion;
    QString databaseVersion;
    QString imagesVersion;
    QFile* downloadFile;
    QString downloadDir;
    QString mainProgram;
    int VerIndex;
    int VerCount;
    QStringList VerList;
    QString appDir;
    // downloadDir in appDir: every path the run forms is absolute.
    QString downloadPath;
    // What the status and contact lines show; the status line keeps the form's own text
    // until one is set.
    QString statusText;
    QString contactText;

    RunStep step = RunStep::Starting;
    std::function<void(RunStep)> stepObserver;
    // The package the step installs now: the version it records and its URL on every
    // listed server.
    struct StepPackage {
        QString version;
        QStringList urls;
    };
    StepPackage stepPackage;
    // Set once the hand-over has begun: later replies start nothing and a second
    // call does not start a second main program.
    bool handOverStarted = false;
    // The elevated copy that installs where this process may not write.
    ElevatedCopy* administratorCopy = nullptr;
    // Installs each package off the window's thread; null until the first package.
    PackageInstaller* installer = nullptr;
    // The close button was pressed while a package was being installed: the run ends as
    // soon as the installation has stopped.
    bool closeRequested = false;
    // The bytes an earlier run kept of the package the step begins with; not valid when none.
    KeptPartial keptPartial;
    // The transfer of the package in `downloadFile`; null when none.
    PackageDownload* packageDownload = nullptr;
    // Which of the listed servers is asked; a failed one is not asked again this run.
    int apiServerIndex = 0;
    int packageServerIndex = 0;
    // The version question in flight failed; its finished() moves on or hands over.
    bool versionQuestionFailed = false;
    // Signature checking: the trusted keys, the digest of the package taken while it was
    // written, and the signature file as received.
    QStringList trustedKeyLines;
    QByteArray downloadedDigest;
    CappedBody signatureBody;
    // The program package's differential fetch while it runs, and the verified index of the
    // program package being installed (empty when none).
    DifferentialFetch* differentialFetch = nullptr;
    QByteArray programIndex;
    // Logged once the package being installed is in place (the differential path's line).
    QString installedLine;
    // The package whose download line has been written.
    QString announcedDownloadUrl;
};

#endif // UPDATETARVILDIALOG_H
