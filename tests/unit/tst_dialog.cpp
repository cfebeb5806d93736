// The updater's window in-process: form, window properties, slot table, dragging, the
// close button, when the window is shown and which logo it shows. The version API is a
// FaultServer on 127.0.0.1; each test runs in its own application directory.

#include "dialogfixture.h"
#include "release.h"
#include "updatetarvildialog.h"
#include "zipbuilder.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QtTest>

namespace {

const QString programQuestion = Release::programVersionPath();
const QString databaseQuestion = Release::databaseVersionPath();
const QString programPackage = Release::programPackagePath();

// The form's style sheets, verbatim: what the user sees depends on every character.
const QString sheetPanel = QStringLiteral("border-image: url(:/images/beijing.jpg);");
const QString sheetContact = QStringLiteral("border-image: url(:);\nbackground:transparent;\n"
                                            "color: rgb(255, 255, 255);\nfont: 75 12pt "
                                            "\"微软雅黑\";");
const QString sheetClose = QStringLiteral(
    "QPushButton{\n\n\tborder-image: url(:/images/close_namal.png);\n}\nQPushButton:hover{\n\t\n"
    "\tborder-image: url(:/images/close_hover.png);\n}\nQPushButton:pressed{\n\t\n"
    "\tborder-image: url(:/images/close_hover.png);\n}");
const QString sheetTitle = QStringLiteral(
    "border-image: url(:);\nfont: 75 14pt \"微软雅黑\";\ncolor: rgb(255, 255, 255);");
const QString sheetLogo = QStringLiteral("border-image: url(:/images/logo.png);");
const QString sheetProgress = QStringLiteral(
    "\nQProgressBar{\n\tborder:none;\nborder-image:none;\n\tbackground-color: rgb(255, 255, "
    "255);\n   border-radius:5px;\n    text-align:center;\n  \n}\nQProgressBar::chunk {\n"
    "background-color: rgb(26, 156, 254);\n   border-radius:5px;\n}");
const QString sheetText = QStringLiteral(
    "border-image: url(:);\nfont: 75 18pt \"微软雅黑\";\ncolor: rgb(255, 255, 255);");
const QString sheetAlternativeLogo = QStringLiteral("border-image: url(:/images/vantrellogo.png);");

// Where the window belongs: centred on the primary screen's work area, its top-left corner
// never outside it (the offscreen screen, 800x600, is smaller than the window).
QPoint centredOnDesktop(const QSize& window)
{
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    return area.topLeft()
        + QPoint(qMax(0, (area.width() - window.width()) / 2),
            qMax(0, (area.height() - window.height()) / 2));
}

// Records what the dialog looked like each time it was shown.
class ShowWatcher : public QObject {
public:
    explicit ShowWatcher(QWidget* dialog)
        : m_dialog(dialog)
    {
        dialog->installEventFilter(this);
    }
    int shows = 0;
    QString logoSheetAtShow;
    QPoint posAtShow;
    QSize sizeAtShow;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_dialog && event->type() == QEvent::Show) {
            ++shows;
            logoSheetAtShow
                = m_dialog->findChild<QLabel*>(QStringLiteral("label_logo"))->styleSheet();
            posAtShow = m_dialog->pos();
            sizeAtShow = m_dialog->size();
        }
        return false;
    }

private:
    QWidget* m_dialog;
};

struct MouseStep {
    QString target; // object name of the widget that receives the event
    QEvent::Type type;
    Qt::MouseButton button;
    Qt::MouseButtons buttons;
    QPointF global;
};

MouseStep press(const QString& target, Qt::MouseButton button, QPointF global,
    Qt::MouseButtons alsoHeld = Qt::NoButton)
{
    return { target, QEvent::MouseButtonPress, button, button | alsoHeld, global };
}

MouseStep moveTo(const QString& target, Qt::MouseButtons held, QPointF global)
{
    return { target, QEvent::MouseMove, Qt::NoButton, held, global };
}

MouseStep release(
    const QString& target, Qt::MouseButton button, Qt::MouseButtons stillHeld, QPointF global)
{
    return { target, QEvent::MouseButtonRelease, button, stillHeld, global };
}

} // namespace

Q_DECLARE_METATYPE(MouseStep)

class TestDialog : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void windowStartsHiddenFramelessAndTranslucent();
    void formObjectsHaveTheirNamesAndGeometry_data();
    void formObjectsHaveTheirNamesAndGeometry();
    void formLayoutAndPanel();
    void styleSheetsAreVerbatim_data();
    void styleSheetsAreVerbatim();
    void imageResourcesAreCompiledIn_data();
    void imageResourcesAreCompiledIn();
    void textsAfterConstruction();
    void slotTableOrder_data();
    void slotTableOrder();
    void programQuestionCarriesOneFormContentType();

    void dragFollowsLeftButtonOnly_data();
    void dragFollowsLeftButtonOnly();

    void closeButtonEndsEventLoopWithZero();

    void updateShowsCentredWindowWithConfiguredLogo_data();
    void updateShowsCentredWindowWithConfiguredLogo();
    void noUpdateNeverShowsWindowAndQuits();
    void hiddenWindowIsPolishedOnlyWhenShown();
    void formIsBuiltWhenTheWindowFirstShows();

    void recieveResultStartsRunAgain();

    void runEntersItsStepsInOrder_data();
    void runEntersItsStepsInOrder();

private:
    FaultServer& server() const { return m_fixture.server(); }

    DialogFixture m_fixture;
};

void TestDialog::init() { m_fixture.setUp(); }

void TestDialog::cleanup() { m_fixture.tearDown(); }

void TestDialog::windowStartsHiddenFramelessAndTranslucent()
{
    UpdateTarvilDialog dialog;
    QVERIFY(!dialog.isVisible());
    QVERIFY(dialog.isWindow());
    QCOMPARE(dialog.size(), QSize(1000, 700));
    QVERIFY(dialog.testAttribute(Qt::WA_TranslucentBackground));
    // Moves reach the dialog only while a button is held.
    QVERIFY(!dialog.hasMouseTracking());
    // The flags are replaced, not added to: no title bar, no system buttons, no Dialog type.
    const Qt::WindowFlags flags = dialog.windowFlags();
    QCOMPARE(flags & ~Qt::WindowType_Mask, Qt::FramelessWindowHint | Qt::CustomizeWindowHint);
    QCOMPARE(dialog.windowType(), Qt::Window);
    QCOMPARE(dialog.windowTitle(), QStringLiteral("自动更新"));
    QCOMPARE(dialog.objectName(), QStringLiteral("UpdateTarvilDialog"));
    QCOMPARE(dialog.styleSheet(), QString());
    QCOMPARE(QString::fromLatin1(dialog.metaObject()->className()),
        QStringLiteral("UpdateTarvilDialog"));
    QVERIFY(dialog.inherits("QDialog"));
}

void TestDialog::formObjectsHaveTheirNamesAndGeometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("contact line") << "label_ContactUs"
                                  << "QLabel" << QRect(40, 630, 931, 61);
    QTest::newRow("close button") << "pushButton_exit"
                                  << "QPushButton" << QRect(950, 30, 9, 11);
    QTest::newRow("title") << "label_title"
                           << "QLabel" << QRect(10, 10, 541, 31);
    QTest::newRow("logo") << "label_logo"
                          << "QLabel" << QRect(180, 180, 602, 163);
    QTest::newRow("progress bar") << "progressBar"
                                  << "QProgressBar" << QRect(130, 520, 751, 12);
    QTest::newRow("status line") << "label_text"
                                 << "QLabel" << QRect(20, 450, 951, 31);
}

void TestDialog::formObjectsHaveTheirNamesAndGeometry()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);

    UpdateTarvilDialog dialog;
    dialog.ensureForm();
    auto* widget = dialog.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget(), dialog.findChild<QWidget*>(QStringLiteral("widget")));
    QCOMPARE(widget->geometry(), geometry);
}

void TestDialog::formLayoutAndPanel()
{
    UpdateTarvilDialog dialog;
    dialog.ensureForm();
    auto* layout = dialog.findChild<QVBoxLayout*>(QStringLiteral("verticalLayout"));
    QVERIFY(layout);
    QCOMPARE(dialog.layout(), layout);
    QCOMPARE(layout->spacing(), 0);
    QCOMPARE(layout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(layout->count(), 1);

    auto* panel = dialog.findChild<QWidget*>(QStringLiteral("widget"));
    QVERIFY(panel);
    QCOMPARE(QString::fromLatin1(panel->metaObject()->className()), QStringLiteral("QWidget"));
    QCOMPARE(layout->itemAt(0)->widget(), panel);
    QCOMPARE(layout->stretch(0), 0);
    QCOMPARE(layout->itemAt(0)->alignment(), Qt::Alignment());
    layout->activate();
    QCOMPARE(panel->geometry(), QRect(0, 0, 1000, 700));

    // Creation order is stacking order: later widgets paint over earlier ones.
    QStringList order;
    for (QObject* child : panel->children()) {
        if (child->isWidgetType())
            order << child->objectName();
    }
    QCOMPARE(order,
        QStringList({ "label_ContactUs", "pushButton_exit", "label_title", "label_logo",
            "progressBar", "label_text" }));

    auto* contact = dialog.findChild<QLabel*>(QStringLiteral("label_ContactUs"));
    auto* status = dialog.findChild<QLabel*>(QStringLiteral("label_text"));
    auto* close = dialog.findChild<QPushButton*>(QStringLiteral("pushButton_exit"));
    auto* progress = dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    QVERIFY(contact && status && close && progress);
    QCOMPARE(contact->alignment(), Qt::AlignCenter);
    QCOMPARE(status->alignment(), Qt::AlignCenter);
    QCOMPARE(close->minimumSize(), QSize(0, 0));
    QCOMPARE(progress->maximumSize(), QSize(16777215, 12));
    QCOMPARE(progress->value(), 0);
    QCOMPARE(progress->minimum(), 0);
    QCOMPARE(progress->maximum(), 100);
}

void TestDialog::styleSheetsAreVerbatim_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("sheet");

    QTest::newRow("panel background") << "widget" << sheetPanel;
    QTest::newRow("contact line") << "label_ContactUs" << sheetContact;
    QTest::newRow("close button") << "pushButton_exit" << sheetClose;
    QTest::newRow("title") << "label_title" << sheetTitle;
    QTest::newRow("logo") << "label_logo" << sheetLogo;
    QTest::newRow("progress bar") << "progressBar" << sheetProgress;
    QTest::newRow("status line") << "label_text" << sheetText;
}

void TestDialog::styleSheetsAreVerbatim()
{
    QFETCH(QString, name);
    QFETCH(QString, sheet);

    UpdateTarvilDialog dialog;
    dialog.ensureForm();
    auto* widget = dialog.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->styleSheet(), sheet);
}

void TestDialog::imageResourcesAreCompiledIn_data()
{
    QTest::addColumn<QString>("resource");
    QTest::addColumn<QSize>("size");

    QTest::newRow("background") << ":/images/beijing.jpg" << QSize(1024, 700);
    QTest::newRow("logo") << ":/images/logo.png" << QSize(602, 163);
    QTest::newRow("alternative logo") << ":/images/vantrellogo.png" << QSize(602, 163);
    QTest::newRow("close") << ":/images/close_namal.png" << QSize(9, 11);
    QTest::newRow("close hovered") << ":/images/close_hover.png" << QSize(9, 11);
    QTest::newRow("orbelan title") << ":/images/toubuorbelan.png" << QSize(99, 29);
    QTest::newRow("brenlow title") << ":/images/toububrenlow.png" << QSize(99, 29);
}

void TestDialog::imageResourcesAreCompiledIn()
{
    QFETCH(QString, resource);
    QFETCH(QSize, size);
    const QImage image(resource);
    QVERIFY2(!image.isNull(), qPrintable(resource));
    QCOMPARE(image.size(), size);
}

void TestDialog::textsAfterConstruction()
{
    UpdateTarvilDialog dialog;
    // The program question has set the status text before the constructor returned; the
    // form, built later, shows it.
    QVERIFY(!dialog.findChild<QLabel*>(QStringLiteral("label_text")));
    dialog.ensureForm();
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_text"))->text(),
        QStringLiteral("获取服务器最新版本号"));
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_ContactUs"))->text(),
        DialogFixture::contactLine());
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_title"))->text(), QString());
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_logo"))->text(), QString());
    QCOMPARE(dialog.findChild<QPushButton*>(QStringLiteral("pushButton_exit"))->text(), QString());
}

void TestDialog::slotTableOrder_data()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("access");

    QTest::newRow("0 slotError") << QByteArray("slotError(QNetworkReply::NetworkError)") << 0
                                 << int(QMetaMethod::Public);
    QTest::newRow("1 recieveUpdateFinish")
        << QByteArray("recieveUpdateFinish()") << 1 << int(QMetaMethod::Private);
    QTest::newRow("2 on_pushButton_exit_clicked")
        << QByteArray("on_pushButton_exit_clicked()") << 2 << int(QMetaMethod::Private);
    QTest::newRow("3 downloadProgress")
        << QByteArray("downloadProgress(qint64,qint64)") << 3 << int(QMetaMethod::Private);
    QTest::newRow("4 downloadFinished")
        << QByteArray("downloadFinished()") << 4 << int(QMetaMethod::Private);
    QTest::newRow("5 httpReadyRead")
        << QByteArray("httpReadyRead()") << 5 << int(QMetaMethod::Private);
    QTest::newRow("6 recieveResult")
        << QByteArray("recieveResult(int,QString)") << 6 << int(QMetaMethod::Private);
    QTest::newRow("7 slotReadyRead")
        << QByteArray("slotReadyRead()") << 7 << int(QMetaMethod::Private);
}

void TestDialog::slotTableOrder()
{
    QFETCH(QByteArray, signature);
    QFETCH(int, index);
    QFETCH(int, access);

    const QMetaObject& meta = UpdateTarvilDialog::staticMetaObject;
    // Eight slots of its own, no signals and no properties.
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 8);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    const int found = meta.indexOfSlot(QMetaObject::normalizedSignature(signature));
    QVERIFY2(found >= 0, signature.constData());
    QCOMPARE(found - meta.methodOffset(), index);
    const QMetaMethod method = meta.method(found);
    QCOMPARE(method.methodType(), QMetaMethod::Slot);
    QCOMPARE(int(method.access()), access);
}

void TestDialog::programQuestionCarriesOneFormContentType()
{
    UpdateTarvilDialog dialog;
    QTRY_COMPARE(server().requestCount(programQuestion), 1);
    const FaultServer::Request question = server().requestsFor(programQuestion).first();
    QCOMPARE(question.method, QByteArray("GET"));
    QCOMPARE(question.headerValues("Content-Type"),
        QList<QByteArray>({ "application/x-www-form-urlencoded" }));
}

void TestDialog::dragFollowsLeftButtonOnly_data()
{
    QTest::addColumn<QVector<MouseStep>>("steps");
    QTest::addColumn<QPoint>("expected");

    // The window starts at (300, 200); the close button's centre is then at (1254, 235).
    const QString logo = QStringLiteral("label_logo");
    const QString panel = QStringLiteral("widget");
    const QString dialog = QStringLiteral("UpdateTarvilDialog");
    const QString close = QStringLiteral("pushButton_exit");

    QTest::newRow("left drag moves by the pointer delta") << QVector<MouseStep> {
        press(logo, Qt::LeftButton, { 500, 400 }), moveTo(logo, Qt::LeftButton, { 530, 375 }),
        moveTo(logo, Qt::LeftButton, { 480, 450 })
    } << QPoint(280, 250);
    QTest::newRow("drag started on the panel itself") << QVector<MouseStep> {
        press(panel, Qt::LeftButton, { 10, 10 }), moveTo(panel, Qt::LeftButton, { 1010, -90 })
    } << QPoint(1300, 100);
    QTest::newRow("right press starts no drag") << QVector<MouseStep> {
        press(logo, Qt::RightButton, { 500, 400 }), moveTo(logo, Qt::RightButton, { 560, 460 })
    } << QPoint(300, 200);
    QTest::newRow("middle press starts no drag") << QVector<MouseStep> {
        press(logo, Qt::MiddleButton, { 500, 400 }), moveTo(logo, Qt::MiddleButton, { 560, 460 })
    } << QPoint(300, 200);
    QTest::newRow("move without a press does nothing")
        << QVector<MouseStep> { moveTo(dialog, Qt::LeftButton, { 700, 700 }) } << QPoint(300, 200);
    QTest::newRow("right release keeps the drag") << QVector<MouseStep> {
        press(logo, Qt::LeftButton, { 500, 400 }), moveTo(logo, Qt::LeftButton, { 510, 410 }),
        release(logo, Qt::RightButton, Qt::LeftButton, { 510, 410 }),
        moveTo(logo, Qt::LeftButton, { 540, 380 })
    } << QPoint(340, 180);
    QTest::newRow("moves count whatever buttons they report") << QVector<MouseStep> {
        press(logo, Qt::LeftButton, { 500, 400 }), moveTo(dialog, Qt::RightButton, { 450, 420 })
    } << QPoint(250, 220);
    QTest::newRow("left release ends the drag") << QVector<MouseStep> {
        press(logo, Qt::LeftButton, { 500, 400 }), moveTo(logo, Qt::LeftButton, { 510, 410 }),
        release(logo, Qt::LeftButton, Qt::NoButton, { 510, 410 }),
        moveTo(dialog, Qt::LeftButton, { 600, 600 })
    } << QPoint(310, 210);
    QTest::newRow("second drag starts from where the first left the window") << QVector<MouseStep> {
        press(logo, Qt::LeftButton, { 500, 400 }), moveTo(logo, Qt::LeftButton, { 520, 420 }),
        release(logo, Qt::LeftButton, Qt::NoButton, { 520, 420 }),
        press(logo, Qt::LeftButton, { 100, 100 }), moveTo(logo, Qt::LeftButton, { 90, 80 })
    } << QPoint(310, 200);
    QTest::newRow("press on the close button starts no drag") << QVector<MouseStep> {
        press(close, Qt::LeftButton, { 1254, 235 }), moveTo(panel, Qt::LeftButton, { 1300, 300 }),
        moveTo(dialog, Qt::LeftButton, { 1350, 350 })
    } << QPoint(300, 200);
    QTest::newRow("left release ends the drag while the right button is still held")
        << QVector<MouseStep> { press(logo, Qt::LeftButton, { 500, 400 }),
               moveTo(logo, Qt::LeftButton, { 510, 410 }),
               press(logo, Qt::RightButton, { 510, 410 }, Qt::LeftButton),
               moveTo(logo, Qt::LeftButton | Qt::RightButton, { 520, 420 }),
               release(logo, Qt::LeftButton, Qt::RightButton, { 520, 420 }),
               moveTo(logo, Qt::RightButton, { 600, 600 }) }
        << QPoint(320, 220);
    // The dialog rounds global positions to whole pixels, halves going up, below zero too.
    // Sent to the dialog itself: on the way up from a child Qt has rounded them already.
    QTest::newRow("half pixels below zero round up") << QVector<MouseStep> {
        press(dialog, Qt::LeftButton, { -10.5, -20.5 }), moveTo(dialog, Qt::LeftButton, { 0, 0 })
    } << QPoint(310, 220);
    QTest::newRow("half pixels above zero round up") << QVector<MouseStep> {
        press(dialog, Qt::LeftButton, { 10.5, 20.5 }), moveTo(dialog, Qt::LeftButton, { 20, 30 })
    } << QPoint(309, 209);
    QTest::newRow("fractions round to the nearest pixel")
        << QVector<MouseStep> { press(dialog, Qt::LeftButton, { 100.4, 100.6 }),
               moveTo(dialog, Qt::LeftButton, { 110.5, 99.5 }) }
        << QPoint(311, 199);
    QTest::newRow("moves below zero round halves up as well") << QVector<MouseStep> {
        press(dialog, Qt::LeftButton, { 0, 0 }), moveTo(dialog, Qt::LeftButton, { -30.5, -0.5 })
    } << QPoint(270, 200);
}

void TestDialog::dragFollowsLeftButtonOnly()
{
    QFETCH(QVector<MouseStep>, steps);
    QFETCH(QPoint, expected);

    UpdateTarvilDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.move(300, 200);
    QTRY_COMPARE(dialog.pos(), QPoint(300, 200));

    for (const MouseStep& step : steps) {
        QWidget* target = step.target == dialog.objectName()
            ? &dialog
            : dialog.findChild<QWidget*>(step.target);
        QVERIFY2(target, qPrintable(step.target));
        const QPointF local = step.global - QPointF(target->mapToGlobal(QPoint(0, 0)));
        const QPointF inWindow = step.global - QPointF(dialog.mapToGlobal(QPoint(0, 0)));
        QMouseEvent event(
            step.type, local, inWindow, step.global, step.button, step.buttons, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    }
    QCOMPARE(dialog.pos(), expected);
}

void TestDialog::closeButtonEndsEventLoopWithZero()
{
    QFile config(m_fixture.configPath());
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray configBefore = config.readAll();
    config.close();

    UpdateTarvilDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* close = dialog.findChild<QPushButton*>(QStringLiteral("pushButton_exit"));
    QVERIFY(close);

    const int code = runEventLoop(10000, [close] { QTest::mouseClick(close, Qt::LeftButton); });
    QCOMPARE(code, 0);
    // Quitting is all it does: no hand-over, nothing written.
    QVERIFY(QFileInfo(m_fixture.filePath(QStringLiteral("update"))).isDir());
    QVERIFY(config.open(QIODevice::ReadOnly));
    QCOMPARE(config.readAll(), configBefore);
    QVERIFY(dialog.isVisible());
}

void TestDialog::updateShowsCentredWindowWithConfiguredLogo_data()
{
    QTest::addColumn<QByteArray>("programAnswer");
    QTest::addColumn<QByteArray>("databaseAnswer");
    QTest::addColumn<QString>("logoType"); // null: key missing
    QTest::addColumn<QString>("expectedLogo");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<QString>("packagePath");

    const QString programText = QStringLiteral("正在升级主程序...1.001");
    const QString databaseText = QStringLiteral("正在升级配置文件...1.001");
    const QString databasePackage = Release::databasePackagePath(QStringLiteral("1.001"));

    QTest::newRow("program update, Logo/Type 1: alternative logo")
        << QByteArray("1.001") << QByteArray() << "1" << sheetAlternativeLogo << programText
        << programPackage;
    QTest::newRow("program update, Logo/Type 2: form logo")
        << QByteArray("1.001") << QByteArray() << "2" << sheetLogo << programText << programPackage;
    QTest::newRow("program update, Logo/Type not a number: form logo") << QByteArray(
        "1.001") << QByteArray() << "abc" << sheetLogo << programText << programPackage;
    QTest::newRow("program update, Logo/Type missing: form logo")
        << QByteArray("1.001") << QByteArray() << QString() << sheetLogo << programText
        << programPackage;
    QTest::newRow("database update only, Logo/Type 1: form logo")
        << QByteArray("1.000") << QByteArray("1.001") << "1" << sheetLogo << databaseText
        << databasePackage;
}

void TestDialog::updateShowsCentredWindowWithConfiguredLogo()
{
    QFETCH(QByteArray, programAnswer);
    QFETCH(QByteArray, databaseAnswer);
    QFETCH(QString, logoType);
    QFETCH(QString, expectedLogo);
    QFETCH(QString, expectedText);
    QFETCH(QString, packagePath);

    server().setBehaviour(programQuestion, FaultServer::ok(programAnswer, "text/html"));
    server().setBehaviour(databaseQuestion, FaultServer::ok(databaseAnswer, "text/html"));
    // The package never arrives, so the run stays where the window has just been shown.
    server().setBehaviour(packagePath, FaultServer::silent());
    if (logoType.isNull())
        m_fixture.writeConfig({}, { QStringLiteral("Logo/Type") });
    else
        m_fixture.writeConfig({ { QStringLiteral("Logo/Type"), logoType } });

    UpdateTarvilDialog dialog;
    ShowWatcher watcher(&dialog);
    dialog.ensureForm();
    auto* logo = dialog.findChild<QLabel*>(QStringLiteral("label_logo"));
    QVERIFY(logo);
    QCOMPARE(logo->styleSheet(), sheetLogo);

    QTRY_VERIFY(dialog.isVisible());
    QCOMPARE(watcher.shows, 1);
    QCOMPARE(watcher.logoSheetAtShow, expectedLogo);
    QCOMPARE(watcher.sizeAtShow, QSize(1000, 700));
    QCOMPARE(watcher.posAtShow, centredOnDesktop(QSize(1000, 700)));
    QCOMPARE(dialog.pos(), centredOnDesktop(QSize(1000, 700)));
    QCOMPARE(logo->styleSheet(), expectedLogo);
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_text"))->text(), expectedText);
    QTRY_COMPARE(server().requestCount(packagePath), 1);
}

void TestDialog::noUpdateNeverShowsWindowAndQuits()
{
    server().setBehaviour(programQuestion, FaultServer::ok("1.000", "text/html"));
    server().setBehaviour(databaseQuestion, FaultServer::ok("1.000", "text/html"));
    m_fixture.writeConfig({ { QStringLiteral("Logo/Type"), QStringLiteral("1") } });

    UpdateTarvilDialog dialog;
    ShowWatcher watcher(&dialog);
    const int code = runEventLoop(20000);
    QCOMPARE(code, 0);
    QCOMPARE(server().requestCount(programQuestion), 1);
    QCOMPARE(server().requestCount(databaseQuestion), 1);
    QCOMPARE(watcher.shows, 0);
    QVERIFY(!dialog.isVisible());
    // Nothing needed the form: no widget was made, no image decoded.
    QCOMPARE(dialog.findChildren<QWidget*>(), QList<QWidget*>());
    dialog.ensureForm();
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_logo"))->styleSheet(), sheetLogo);
}

// Polishing applies the style sheets and decodes the form's images: a window that stays
// hidden skips it, a shown one has it done before it appears.
void TestDialog::hiddenWindowIsPolishedOnlyWhenShown()
{
    UpdateTarvilDialog dialog;
    dialog.ensureForm();
    const QList<QWidget*> widgets = dialog.findChildren<QWidget*>() << &dialog;
    QCOMPARE(widgets.size(), 8);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    for (QWidget* widget : widgets)
        QVERIFY2(!widget->testAttribute(Qt::WA_WState_Polished), qPrintable(widget->objectName()));

    dialog.show();
    for (QWidget* widget : widgets)
        QVERIFY2(widget->testAttribute(Qt::WA_WState_Polished), qPrintable(widget->objectName()));
}

// The form costs its images, fonts and style sheets: a window that stays hidden never
// builds it; the window's own properties are the form's all along.
void TestDialog::formIsBuiltWhenTheWindowFirstShows()
{
    UpdateTarvilDialog dialog;
    ShowWatcher watcher(&dialog);
    QCoreApplication::processEvents();
    QCOMPARE(dialog.findChildren<QWidget*>(), QList<QWidget*>());
    QVERIFY(!dialog.layout());
    QCOMPARE(dialog.size(), QSize(1000, 700));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("自动更新"));
    QCOMPARE(dialog.objectName(), QStringLiteral("UpdateTarvilDialog"));
    QCOMPARE(dialog.pos(), centredOnDesktop(QSize(1000, 700)));

    dialog.show();
    QCOMPARE(watcher.shows, 1);
    QCOMPARE(watcher.logoSheetAtShow, sheetLogo);
    QCOMPARE(watcher.sizeAtShow, QSize(1000, 700));
    QCOMPARE(watcher.posAtShow, centredOnDesktop(QSize(1000, 700)));
    QCOMPARE(dialog.findChildren<QWidget*>().size(), 7);
    QCOMPARE(dialog.layout(), dialog.findChild<QVBoxLayout*>(QStringLiteral("verticalLayout")));
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_text"))->text(),
        QStringLiteral("获取服务器最新版本号"));
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_ContactUs"))->text(),
        DialogFixture::contactLine());
    QCOMPARE(dialog.size(), QSize(1000, 700));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("自动更新"));
    QCOMPARE(dialog.objectName(), QStringLiteral("UpdateTarvilDialog"));

    // The close button works on a form built this late.
    auto* close = dialog.findChild<QPushButton*>(QStringLiteral("pushButton_exit"));
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(runEventLoop(10000, [close] { QTest::mouseClick(close, Qt::LeftButton); }), 0);
}

void TestDialog::recieveResultStartsRunAgain()
{
    UpdateTarvilDialog dialog;
    // The form exists this time: the second start updates its texts in place.
    dialog.ensureForm();
    dialog.findChild<QLabel*>(QStringLiteral("label_text"))->setText(QString());
    QTRY_COMPARE(server().requestCount(programQuestion), 1);
    dialog.move(7, 9);
    m_fixture.writeConfig({ { QStringLiteral("ContactUs/Contact1"), QStringLiteral("tel 123") } });

    QVERIFY(QMetaObject::invokeMethod(
        &dialog, "recieveResult", Q_ARG(int, 5), Q_ARG(QString, QStringLiteral("10.0.0.1"))));
    QTRY_COMPARE(server().requestCount(programQuestion), 2);
    // It is a whole new start: settings read again, window centred again.
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_ContactUs"))->text(),
        QStringLiteral("tel 123"));
    QCOMPARE(dialog.pos(), centredOnDesktop(QSize(1000, 700)));
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("label_text"))->text(),
        QStringLiteral("获取服务器最新版本号"));
    QVERIFY(!dialog.isVisible());
}

void TestDialog::runEntersItsStepsInOrder_data()
{
    QTest::addColumn<QByteArray>("program");
    QTest::addColumn<QByteArray>("database");
    QTest::addColumn<bool>("packageServed");
    QTest::addColumn<QStringList>("steps");

    const QString asking = QStringLiteral("asking");
    const QString downloading = QStringLiteral("downloading");
    const QString installing = QStringLiteral("installing");
    const QString handingOver = QStringLiteral("handing over");
    QTest::newRow("nothing newer") << QByteArray("1.000") << QByteArray("1.000") << true
                                   << QStringList { asking, handingOver };
    QTest::newRow("one database package")
        << QByteArray("1.000") << QByteArray("1.001") << true
        << QStringList { asking, downloading, installing, handingOver };
    // Both questions are one step. The program package: single files first, then the whole
    // package, one download step.
    QTest::newRow("program package without an index")
        << QByteArray("1.001") << QByteArray("1.000") << true
        << QStringList { asking, downloading, installing, asking, handingOver };
    QTest::newRow("package missing") << QByteArray("1.000") << QByteArray("1.001") << false
                                     << QStringList { asking, downloading, handingOver };
}

void TestDialog::runEntersItsStepsInOrder()
{
    QFETCH(QByteArray, program);
    QFETCH(QByteArray, database);
    QFETCH(bool, packageServed);
    QFETCH(QStringList, steps);

    server().setBehaviour(programQuestion, FaultServer::ok(program, "text/html"));
    server().setBehaviour(databaseQuestion, FaultServer::ok(database, "text/html"));
    const QByteArray package
        = archiveBytes({ ZipEntry::file(QStringLiteral("data.txt"), "new data") });
    QVERIFY(!package.isEmpty());
    if (packageServed) {
        server().setBehaviour(programPackage, FaultServer::ok(package));
        server().setBehaviour(
            Release::databasePackagePath(QStringLiteral("1.001")), FaultServer::ok(package));
    }
    m_fixture.writeConfig();

    QStringList entered;
    {
        // The constructor has sent the program question already.
        UpdateTarvilDialog dialog;
        QCOMPARE(dialog.currentStep(), RunStep::Asking);
        entered.append(QString::fromLatin1(runStepName(dialog.currentStep())));
        dialog.observeSteps(
            [&entered](RunStep step) { entered.append(QString::fromLatin1(runStepName(step))); });
        QCOMPARE(runEventLoop(20000), 0);
        QCOMPARE(dialog.currentStep(), RunStep::HandingOver);
    }
    QCOMPARE(entered, steps);
    QCOMPARE(QFile::exists(m_fixture.filePath(QStringLiteral("data.txt"))),
        steps.contains(QStringLiteral("installing")));
}

QTEST_MAIN(TestDialog)
#include "tst_dialog.moc"
