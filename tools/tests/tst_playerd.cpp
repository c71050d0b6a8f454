// Runs playerd as a child process and sends it play commands, good and bad, on UDP 3601.

#include "frame.h"
#include "toolprocess.h"

#include <QImage>
#include <QStandardPaths>
#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>

namespace {
const QString playerdPath = QStringLiteral(PLAYERD_PATH);
#ifdef TOOLS_VIDEO
const QString txsimPath = QStringLiteral(TXSIM_PATH);

quint16 freeTcpPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// Sum of the channels of a pixel of display's root window where a card shows
// only its background (right of its text, above its colour bars).
int backgroundBrightness(const QString &display)
{
    QProcess import;
    import.start(QStringLiteral("import"),
                 {QStringLiteral("-display"), display, QStringLiteral("-window"),
                  QStringLiteral("root"), QStringLiteral("png:-")});
    if (!import.waitForFinished(10000))
        return -1;
    const QImage shot = QImage::fromData(import.readAllStandardOutput(), "PNG");
    if (shot.isNull())
        return -1;
    const QRgb p = shot.pixel(shot.width() * 9 / 10, shot.height() * 3 / 4);
    return qRed(p) + qGreen(p) + qBlue(p);
}
#endif
} // namespace

class TestPlayerd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void printsPlayAndExactPayload();
    void withoutRawOnlyThePlayLine();
    void refusesBadDatagrams_data();
    void refusesBadDatagrams();
    void secondListenerIsRefused();
    void exitsCleanlyOnSignal();
    void playsStreamsOnADisplay();

private:
    bool startPlayerd(const QStringList &args);
    void send(const QByteArray &datagram);
    ToolProcess *m_player = nullptr;
    QUdpSocket m_sender;
};

void TestPlayerd::init()
{
    m_player = new ToolProcess;
}

void TestPlayerd::cleanup()
{
    delete m_player;
    m_player = nullptr;
}

bool TestPlayerd::startPlayerd(const QStringList &args)
{
    return m_player->start(playerdPath, args) && m_player->waitForLine(exactLine(QStringLiteral(
                                                     "playerd: listening on 127.0.0.1:3601"))) >= 0;
}

void TestPlayerd::send(const QByteArray &datagram)
{
    QCOMPARE(m_sender.writeDatagram(datagram, QHostAddress::LocalHost, 3601),
             qint64(datagram.size()));
}

void TestPlayerd::printsPlayAndExactPayload()
{
    QVERIFY2(startPlayerd({QStringLiteral("--raw")}), qPrintable(m_player->dump()));
    const QString url = QStringLiteral("udp://239.255.0.11:5000");
    const QByteArray payload = toolframe::playPayload(url);
    send(toolframe::buildFrame(toolframe::requestMarker, payload));

    const int play = m_player->waitForLine(exactLine(QStringLiteral("playerd: play ") + url));
    QVERIFY2(play >= 0, qPrintable(m_player->dump()));
    const int raw =
        m_player->waitForLine(QRegularExpression(QStringLiteral("^playerd: payload ")), 5000, play);
    QCOMPARE(raw, play + 1);
    QCOMPARE(m_player->lines().at(raw).toUtf8(), QByteArray("playerd: payload ") + payload);

    // Non-ASCII survives byte for byte.
    const QString other = QStringLiteral("udp://239.255.0.12:5000/ch\u00e2ne");
    send(toolframe::buildFrame(toolframe::requestMarker, toolframe::playPayload(other)));
    const int second =
        m_player->waitForLine(exactLine(QStringLiteral("playerd: play ") + other), 5000, raw + 1);
    QVERIFY2(second >= 0, qPrintable(m_player->dump()));
    QCOMPARE(m_player->lines().value(second + 1).toUtf8(),
             QByteArray("playerd: payload ") + toolframe::playPayload(other));
}

void TestPlayerd::withoutRawOnlyThePlayLine()
{
    QVERIFY2(startPlayerd({}), qPrintable(m_player->dump()));
    send(toolframe::buildFrame(toolframe::requestMarker,
                               toolframe::playPayload(QStringLiteral("udp://a"))));
    send(QByteArray("x"));
    const int bad =
        m_player->waitForLine(QRegularExpression(QStringLiteral("^playerd: bad frame: ")));
    QVERIFY(bad >= 0);
    const QStringList lines = m_player->lines();
    QCOMPARE(lines.mid(1, bad),
             (QStringList{QStringLiteral("playerd: play udp://a"),
                          QStringLiteral("playerd: bad frame: too short (1 bytes)")}));
}

void TestPlayerd::refusesBadDatagrams_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("line");
    const QByteArray good = toolframe::buildFrame(
        toolframe::requestMarker, toolframe::playPayload(QStringLiteral("udp://a")));
    QByteArray reply = good;
    reply[0] = char(0xFB);
    QByteArray crc = good;
    crc[good.size() - 1] = char(crc.at(good.size() - 1) ^ 0x10);
    QByteArray length = good;
    length[3] = char(length.at(3) + 1);

    const auto literal = [](const QString &text) {
        return QRegularExpression::escape(text);
    };

    QTest::newRow("short") << QByteArray::fromHex("faa00004")
                           << literal(QStringLiteral("playerd: bad frame: too short (4 bytes)"));
    QTest::newRow("marker")
        << reply
        << literal(QStringLiteral("playerd: bad frame: marker 0xfb, expected 0xfa (%1 bytes)")
                       .arg(good.size()));
    QTest::newRow("crc")
        << crc
        << QStringLiteral(
               "playerd: bad frame: crc 0x[0-9a-f]{8}, computed 0x[0-9a-f]{8} \\(%1 bytes\\)")
               .arg(good.size());
    QTest::newRow("length")
        << length
        << literal(
               QStringLiteral("playerd: bad frame: length field %1, datagram needs %2 (%3 bytes)")
                   .arg(good.size() - 3)
                   .arg(good.size() - 4)
                   .arg(good.size()));
    QTest::newRow("bare json") << toolframe::playPayload(QStringLiteral("udp://a"))
                               << "playerd: bad frame: marker 0x7b.*";
    QTest::newRow("json") << toolframe::buildFrame(toolframe::requestMarker,
                                                   R"({"cmd": "set_param_player",)")
                          << "playerd: bad json: .* at offset \\d+";
    QTest::newRow("array") << toolframe::buildFrame(toolframe::requestMarker, "[]")
                           << literal(QStringLiteral("playerd: bad json: not a JSON object"));
    QTest::newRow("other cmd")
        << toolframe::buildFrame(toolframe::requestMarker, R"({"cmd":"get_param"})")
        << literal(QStringLiteral("playerd: not a play command: cmd is not \"set_param_player\""));
    QTest::newRow("no src")
        << toolframe::buildFrame(toolframe::requestMarker,
                                 R"({"cmd":"set_param_player","data":[{"player":[{}]}]})")
        << literal(QStringLiteral("playerd: not a play command: no src_onplaying string"));
    QTest::newRow("empty src")
        << toolframe::buildFrame(toolframe::requestMarker, toolframe::playPayload(QString()))
        << literal(QStringLiteral("playerd: not a play command: src_onplaying is empty"));
}

void TestPlayerd::refusesBadDatagrams()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, line);
    QVERIFY2(startPlayerd({}), qPrintable(m_player->dump()));
    send(datagram);
    // A good command afterwards proves the bad one did not stop the service.
    send(toolframe::buildFrame(toolframe::requestMarker,
                               toolframe::playPayload(QStringLiteral("udp://after"))));
    const int after = m_player->waitForLine(exactLine(QStringLiteral("playerd: play udp://after")));
    QVERIFY2(after == 2, qPrintable(m_player->dump()));
    const QString got = m_player->lines().at(1);
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(line)).match(got).hasMatch(),
             qPrintable(got));
}

void TestPlayerd::secondListenerIsRefused()
{
    QVERIFY2(startPlayerd({}), qPrintable(m_player->dump()));
    ToolProcess second;
    QVERIFY(second.start(playerdPath, {}));
    QVERIFY(second.waitForFinished());
    QCOMPARE(second.process().exitCode(), 1);
    QVERIFY(second.waitForLine(QRegularExpression(
                QStringLiteral("^playerd: cannot bind 127\\.0\\.0\\.1:3601: "))) >= 0);
}

void TestPlayerd::exitsCleanlyOnSignal()
{
    QVERIFY2(startPlayerd({}), qPrintable(m_player->dump()));
    m_player->process().terminate(); // SIGTERM
    QVERIFY(m_player->waitForFinished());
    QCOMPARE(m_player->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_player->process().exitCode(), 0);
    QVERIFY(m_player->lines().contains(QStringLiteral("playerd: stopping on SIGTERM")));

    // A fresh process: the first one's lines must not satisfy the waits.
    cleanup();
    init();
    QVERIFY2(startPlayerd({}), qPrintable(m_player->dump()));
    m_player->signal(SIGINT);
    QVERIFY(m_player->waitForFinished());
    QCOMPARE(m_player->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_player->process().exitCode(), 0);
    QVERIFY(m_player->lines().contains(QStringLiteral("playerd: stopping on SIGINT")));
}

// With a display, each play command plays its stream; a silent stream and a
// URL that is not udp://address:port cost a line and a black picture, and the
// service goes on.
void TestPlayerd::playsStreamsOnADisplay()
{
#ifndef TOOLS_VIDEO
    QSKIP("built without GStreamer");
#else
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        QSKIP("no Xvfb");
    ToolProcess xvfb;
    QVERIFY(
        xvfb.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("640x360x24"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp")}));
    const int number = xvfb.waitForLine(QRegularExpression(QStringLiteral("^\\d+$")), 10000);
    QVERIFY2(number >= 0, qPrintable(xvfb.dump()));
    const QString display = QLatin1Char(':') + xvfb.lines().at(number);

    ToolProcess tx;
    QVERIFY(tx.start(txsimPath, {QStringLiteral("--count"), QStringLiteral("2"),
                                 QStringLiteral("--port"), QStringLiteral("3698"),
                                 QStringLiteral("--http-port"), QString::number(freeTcpPort()),
                                 QStringLiteral("--silent"), QStringLiteral("2")}));
    QVERIFY2(tx.waitForLine(exactLine(QStringLiteral("txsim: ready"))) >= 0, qPrintable(tx.dump()));

    QVERIFY(m_player->start(playerdPath, {}, {QStringLiteral("DISPLAY=") + display}));
    QVERIFY2(m_player->waitForLine(exactLine(QStringLiteral("playerd: video on ") + display)) >= 0,
             qPrintable(m_player->dump()));
    const auto play = [this](const QString &url) {
        send(toolframe::buildFrame(toolframe::requestMarker, toolframe::playPayload(url)));
    };
    const QString one = QStringLiteral("udp://239.255.0.11:5000");
    const QString silent = QStringLiteral("udp://239.255.0.12:5000");
    const QRegularExpression firstFrame(
        QStringLiteral("^playerd: first frame of udp://239\\.255\\.0\\.11:5000 shown after "
                       "\\d+ ms$"));

    play(one);
    int at = m_player->waitForLine(firstFrame, 10000);
    QVERIFY2(at >= 0, qPrintable(m_player->dump() + tx.dump()));
    QTRY_VERIFY_WITH_TIMEOUT(backgroundBrightness(display) > 100, 5000);

    play(silent);
    at = m_player->waitForLine(
        exactLine(QStringLiteral("playerd: no picture from %1 for 3 s").arg(silent)), 8000, at);
    QVERIFY2(at >= 0, qPrintable(m_player->dump()));
    QCOMPARE(backgroundBrightness(display), 0);

    play(QStringLiteral("udp://a"));
    at = m_player->waitForLine(
        exactLine(QStringLiteral("playerd: cannot play udp://a: not udp://address:port")), 5000,
        at);
    QVERIFY2(at >= 0, qPrintable(m_player->dump()));

    play(one);
    QVERIFY2(m_player->waitForLine(firstFrame, 10000, at) >= 0, qPrintable(m_player->dump()));
    QTRY_VERIFY_WITH_TIMEOUT(backgroundBrightness(display) > 100, 5000);
    // It ends before its X server does.
    m_player->signal(SIGTERM);
    QVERIFY(m_player->waitForFinished());
    QCOMPARE(m_player->process().exitCode(), 0);
#endif
}

QTEST_GUILESS_MAIN(TestPlayerd)
#include "tst_playerd.moc"
