#include "downloader.h"
#include "shell.h"
#include "udpclient.h"
#include "widget.h"

#include <QFile>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QResource>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

namespace {

const QByteArray styleSheet = R"(/*QWidget
{
    border: none;
    outline: none;
    background-color: rgba(192, 192, 192, 0%);
    background: transparent;
}*/

QScrollArea
{
    border: none;
    outline: none;
    background-color: rgba(192, 192, 192, 0%);
    background: transparent;
}

QHBoxLayout
{
    border: none;
    outline: none;
    background-color: rgba(192, 192, 192, 0%);
    background: transparent;
}

QToolButton
{
    border-style: outset;
    border-width: 2px;
    border-color: rgba(192, 192, 192, 100%);
    background-color: rgba(192, 192, 192, 100%);
    color:white;
    /*background: white;*/
}

/*QMessageBox
{
    border-style: outset;
    border-width: 2px;
    border-color: rgba(192, 192, 192, 100%);
    background-color: rgba(192, 192, 192, 100%);
    color:white;
}*/

QToolButton:hover
{
    border-style: outset;
    border-width: 2px;
    border-color: rgba(192, 192, 192, 100%);
    background-color: rgba(0, 0, 0, 100%);
    /*background: black;*/
}

QToolButton:checked
{
    border-style: outset;
    border-width: 2px;
    border-color: rgba(192, 192, 192, 100%);
    background-color: rgba(0, 0, 0, 100%);
    /*background: black;*/
}


/* The focused button while the remote or keyboard is in use: only the
   border's colour changes, so the picture's box stays the same. */
QToolButton[keyFocus="true"]
{
    border-color: rgba(255, 200, 0, 100%);
}
)";

// Slower machines (emulation, valgrind) stretch the waits, never the checks.
int scaled(int ms)
{
    const int factor = qEnvironmentVariableIntValue("SOURCEBAR_TEST_TIMESCALE");
    return ms * (factor > 0 ? factor : 1);
}

// Runs the built program offscreen, as a user would start it.
class Program
{
public:
    explicit Program(const QString &path = QStringLiteral(SOURCEBAR_EXE))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        process.setProcessEnvironment(env);
        process.start(path, QStringList());
    }
    ~Program()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    // Waits for the start-up log, then for the window to be up.
    bool waitStarted()
    {
        QElapsedTimer t;
        t.start();
        while (!err.contains("qss file from") && t.elapsed() < scaled(10000)) {
            process.waitForReadyRead(100);
            err += process.readAllStandardError();
        }
        QTest::qWait(scaled(1000));
        return err.contains("qss file from");
    }
    void signal(int sig)
    {
        // Never kill(0, ...): that would signal the whole process group.
        const qint64 pid = process.processId();
        QVERIFY(pid > 0);
        ::kill(pid_t(pid), sig);
    }
    bool finish()
    {
        const bool done = process.waitForFinished(scaled(10000));
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return done;
    }

    QTemporaryDir runtime;
    QProcess process;
    QByteArray out, err;
};

QByteArray quitLine(int sig)
{
    return "\nquit the application by signal(" + QByteArray::number(sig) + ").\n";
}

} // namespace

class TestApp : public QObject
{
    Q_OBJECT
private slots:
    void styleSheetResource();
    void startUpLog();
    void missingFont();
    void versionOption_data();
    void versionOption();
    void quitSignal_data();
    void quitSignal();
    void otherSignalsKeepDefaultAction();
    void twoQuickSignals();
    void quitDuringWarningBox();
};

void TestApp::styleSheetResource()
{
    QCOMPARE(styleSheet.size(), 1367);
    QFile file(":/myQss.qss");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), styleSheet);
    const QResource resource(":/myQss.qss");
    QCOMPARE(resource.compressionAlgorithm(), QResource::ZlibCompression);
    QCOMPARE(resource.uncompressedSize(), qint64(1367));
}

void TestApp::startUpLog()
{
    Program p;
    QVERIFY(p.waitStarted());
    p.signal(SIGTERM);
    QVERIFY(p.finish());
    QCOMPARE(p.err, QByteArray("load qss file from : \":/myQss.qss\"\n"
                               "remove GUI from signal  15\n"));
}

void TestApp::missingFont()
{
    QTemporaryDir dir;
    const QString copy = dir.filePath("sourcebar");
    QVERIFY(QFile::copy(SOURCEBAR_EXE, copy));
    QVERIFY(QFile::exists(QFileInfo(SOURCEBAR_EXE).dir().filePath("DejaVuSansMono.ttf")));
    Program p(copy);
    QVERIFY(p.waitStarted());
    p.signal(SIGINT);
    QVERIFY(p.finish());
    QCOMPARE(p.process.exitCode(), 0);
    QVERIFY(p.err.startsWith("Cannot open font DejaVuSansMono\nload qss file from : "));
}

void TestApp::versionOption_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("alone") << QStringList{"--version"};
    QTest::newRow("after a Qt option") << QStringList{"-platform", "offscreen", "--version"};
}

// The version prints without a platform: on a device whose display is not up,
// and from the package's maintainer scripts.
void TestApp::versionOption()
{
    QFETCH(QStringList, args);
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "nosuchplatform");
    process.setProcessEnvironment(env);
    process.start(SOURCEBAR_EXE, args);
    QVERIFY(process.waitForFinished(scaled(10000)));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    // The release, or between releases the commits since it and the commit:
    // the build's own version, whatever commit the tree is at now.
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    const QRegularExpression form(
        QStringLiteral("^sourcebar \\d+\\.\\d+\\.\\d+(\\+git\\d+\\.[0-9a-f]{7})?\n$"));
    QVERIFY2(form.match(out).hasMatch(), qPrintable(out));
    QVERIFY2(out.startsWith(QStringLiteral("sourcebar " SOURCEBAR_RELEASE "+")) ||
                 out == QStringLiteral("sourcebar " SOURCEBAR_RELEASE "\n"),
             qPrintable(out));
    QCOMPARE(process.readAllStandardError(), QByteArray());
}

void TestApp::quitSignal_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGQUIT") << int(SIGQUIT);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP") << int(SIGHUP);
    QTest::newRow("SIGUSR1") << int(SIGUSR1);
}

void TestApp::quitSignal()
{
    QFETCH(int, sig);
    Program p;
    QVERIFY(p.waitStarted());
    p.signal(sig);
    QVERIFY(p.finish());
    QCOMPARE(p.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.process.exitCode(), 0);
    QCOMPARE(p.out, quitLine(sig));
    QVERIFY(p.err.endsWith("remove GUI from signal  " + QByteArray::number(sig) + "\n"));
}

void TestApp::otherSignalsKeepDefaultAction()
{
    Program p;
    QVERIFY(p.waitStarted());
    p.signal(SIGUSR2);
    QVERIFY(p.finish());
    QCOMPARE(p.process.exitStatus(), QProcess::CrashExit);
    QVERIFY(p.out.isEmpty());
}

void TestApp::twoQuickSignals()
{
    Program p;
    QVERIFY(p.waitStarted());
    p.signal(SIGTERM);
    p.signal(SIGHUP);
    QVERIFY(p.finish());
    QCOMPARE(p.process.exitCode(), 0);
    // Both print their line, in either order; only one removes the window.
    QCOMPARE(p.out.size(), quitLine(SIGTERM).size() + quitLine(SIGHUP).size());
    QVERIFY(p.out.contains(quitLine(SIGTERM)));
    QVERIFY(p.out.contains(quitLine(SIGHUP)));
    QCOMPARE(p.err.count("remove GUI from signal"), 1);
}

void TestApp::quitDuringWarningBox()
{
    // The program's own path: the window of the shell, a source that cannot
    // be played, a click that opens the warning box, and a quit signal while
    // the box waits in its own event loop.
    catchUnixSignals({SIGTERM});
    w = new Widget;
    QPointer<Widget> window = w;
    watchQuitSignals();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    client.jsonList << QJsonObject{{"ip", "127.0.0.11"}, {"isTS_1", "0"}};
    QPixmap pic(20, 15);
    pic.fill(Qt::green);
    emit download.imageUpdated("127.0.0.11", "A", pic);
    auto *button = qobject_cast<QToolButton *>(w->horizontalLayout->itemAt(0)->widget());
    QTRY_VERIFY(button->x() > 0);
    const QPoint centre = button->mapTo(w, button->rect().center());

    bool boxSeen = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!boxSeen && qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            boxSeen = true;
            ::raise(SIGTERM);
        }
    });
    poll.start(20);
    // Returns once the box's loop has ended; the click's own handling then
    // goes on in the window, which must still be there.
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, centre);
    poll.stop();

    QVERIFY(boxSeen);
    QVERIFY(!w);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QTRY_VERIFY(window.isNull()); // deleted once the stack has unwound
    for (QWidget *top : QApplication::topLevelWidgets())
        QVERIFY(!top->isVisible());
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
