// Runs txsim as a child process and talks to it as the receiver would: discovery
// on UDP 3600 and preview fetches over HTTP, including its fault modes.

#include "toolprocess.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkDatagram>
#include <QNetworkReply>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include <zlib.h>

namespace {

const QString txsimPath = QStringLiteral(TXSIM_PATH);

// The discovery request exactly as the receiver sends it, framed by hand here so
// the test does not lean on the tools' own frame code.
QByteArray discoveryDatagram()
{
    const QByteArray payload(R"({"targ":"","cmd":"get_param","login_ack":"","pwd_msg":""})");
    const auto crc =
        static_cast<quint32>(crc32(0L, reinterpret_cast<const Bytef *>(payload.constData()),
                                   static_cast<uInt>(payload.size())));
    QByteArray d = QByteArray::fromHex("faa0003d") + payload;
    for (int shift = 24; shift >= 0; shift -= 8)
        d.append(static_cast<char>((crc >> shift) & 0xFF));
    return d;
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

QList<QNetworkDatagram> collect(QUdpSocket &socket, int wanted, int timeoutMs)
{
    QList<QNetworkDatagram> got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < wanted && clock.elapsed() < timeoutMs) {
        socket.waitForReadyRead(50);
        while (socket.hasPendingDatagrams())
            got << socket.receiveDatagram();
    }
    return got;
}

// Checks a reply frame byte by byte; returns its RECORD, or an empty object with why.
QJsonObject replyRecord(const QByteArray &d, QString *why)
{
    if (d.size() < 8) {
        *why = QStringLiteral("short datagram");
        return {};
    }
    if (quint8(d.at(0)) != 0xFB || quint8(d.at(1)) != 0xA0) {
        *why = QStringLiteral("bad marker %1").arg(QString::fromLatin1(d.left(2).toHex()));
        return {};
    }
    const int length = (quint8(d.at(2)) << 8) | quint8(d.at(3));
    if (length != d.size() - 4) {
        *why = QStringLiteral("length field %1 for %2 bytes").arg(length).arg(d.size());
        return {};
    }
    const QByteArray payload = d.mid(4, d.size() - 8);
    const auto crc =
        static_cast<quint32>(crc32(0L, reinterpret_cast<const Bytef *>(payload.constData()),
                                   static_cast<uInt>(payload.size())));
    quint32 sent = 0;
    for (int i = d.size() - 4; i < d.size(); ++i)
        sent = (sent << 8) | quint8(d.at(i));
    if (crc != sent) {
        *why = QStringLiteral("crc mismatch");
        return {};
    }
    const QJsonDocument doc = QJsonDocument::fromJson(payload);
    const QJsonArray data = doc.object().value(QLatin1String("data")).toArray();
    if (data.size() != 1 || !data.at(0).isObject()) {
        *why = QStringLiteral("no single data record: %1").arg(QString::fromUtf8(payload));
        return {};
    }
    return data.at(0).toObject();
}

struct Fetched
{
    int status = 0;
    QByteArray contentType;
    QByteArray location;
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
};

Fetched fetch(const QUrl &url, bool followRedirects = false)
{
    QNetworkAccessManager nam;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         followRedirects ? QNetworkRequest::NoLessSafeRedirectPolicy
                                         : QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(5000);
    QNetworkReply *reply = nam.get(request);
    QSignalSpy done(reply, &QNetworkReply::finished);
    done.wait(8000);
    Fetched f;
    f.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    f.contentType = reply->rawHeader("Content-Type");
    f.location = reply->rawHeader("Location");
    f.body = reply->readAll();
    f.error = reply->error();
    delete reply;
    return f;
}

#ifdef TOOLS_VIDEO
// What arrived of a transport stream: datagrams, whether every one was whole
// 188-byte packets with their sync bytes, and the packets' payloads in order.
struct Received
{
    int datagrams = 0;
    bool wellFormed = true;
    QByteArray payload;
};

// Joins group:5000 (the socket is bound to the group, so other groups' datagrams
// stay out) and collects for ms milliseconds.
Received receiveStream(QUdpSocket &socket, int ms)
{
    Received got;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QTest::qWait(20);
        while (socket.hasPendingDatagrams()) {
            const QByteArray d = socket.receiveDatagram().data();
            ++got.datagrams;
            if (d.isEmpty() || d.size() % 188 != 0)
                got.wellFormed = false;
            for (int at = 0; at + 188 <= d.size(); at += 188) {
                if (static_cast<quint8>(d.at(at)) != 0x47) {
                    got.wellFormed = false;
                    continue;
                }
                int start = at + 4;
                if (d.at(at + 3) & 0x20) // adaptation field first
                    start += 1 + static_cast<quint8>(d.at(at + 4));
                if (start < at + 188)
                    got.payload += d.mid(start, at + 188 - start);
            }
        }
    }
    return got;
}

bool joinStream(QUdpSocket &socket, int index)
{
    const QHostAddress group(QStringLiteral("239.255.0.%1").arg(10 + index));
    return socket.bind(group, 5000, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint) &&
           socket.joinMulticastGroup(group);
}

// An H.264 sequence parameter set (NAL type 7) behind a start code.
bool hasH264ParameterSet(const QByteArray &payload)
{
    return payload.contains(QByteArray::fromHex("00000167"));
}
#endif

} // namespace

class TestTxsim : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void discoveryRepliesAndPreviews();
    void eachSourceHasItsOwnLiveCard();
    void malformedDatagramsAreReportedNotFatal();
    void unicastRequestIsAnsweredByItsTransmitterOnly();
    void replyVariants();
    void replyDelay();
    void previewFaults();
    void endlessBodyRunsUntilClientLeaves();
    void streamsOnlyWhileListened();
    void streamFaults();
    void badOptionsAreRefused_data();
    void badOptionsAreRefused();
    void exitsCleanlyOnSignal_data();
    void exitsCleanlyOnSignal();

private:
    bool startTxsim(ToolProcess &tx, QStringList args);
    quint16 m_httpPort = 0;
};

void TestTxsim::init()
{
    m_httpPort = freeTcpPort();
    QVERIFY(m_httpPort != 0);
}

bool TestTxsim::startTxsim(ToolProcess &tx, QStringList args)
{
    args << QStringLiteral("--http-port") << QString::number(m_httpPort);
    if (!tx.start(txsimPath, args))
        return false;
    return tx.waitForLine(exactLine(QStringLiteral("txsim: ready"))) >= 0;
}

void TestTxsim::discoveryRepliesAndPreviews()
{
    ToolProcess tx;
    QVERIFY2(startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("2"),
                             QStringLiteral("--status404"), QStringLiteral("2")}),
             qPrintable(tx.dump()));

    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const QByteArray request = discoveryDatagram();
    QCOMPARE(request.size(), 65);
    QCOMPARE(receiver.writeDatagram(request, QHostAddress::LocalHost, 3600), qint64(65));

    const QList<QNetworkDatagram> replies = collect(receiver, 2, 3000);
    QCOMPARE(replies.size(), 2);
    QSet<QString> seen;
    for (const QNetworkDatagram &d : replies) {
        QString why;
        const QJsonObject r = replyRecord(d.data(), &why);
        QVERIFY2(!r.isEmpty(), qPrintable(why));
        const QString ip = r.value(QLatin1String("ip")).toString();
        const int i = ip.section(QLatin1Char('.'), 3).toInt() - 10;
        QVERIFY2(i == 1 || i == 2, qPrintable(ip));
        // Each reply leaves from its transmitter's own address.
        QCOMPARE(d.senderAddress(), QHostAddress(ip));
        QCOMPARE(r.value(QLatin1String("cName")).toString(), QStringLiteral("Camera %1").arg(i));
        QVERIFY((QStringList{QStringLiteral("618204-TX"), QStringLiteral("618205-TX"),
                             QStringLiteral("47130")})
                    .contains(r.value(QLatin1String("model")).toString()));
        QCOMPARE(r.value(QLatin1String("isTS_1")).toString(), QStringLiteral("1"));
        QCOMPARE(r.value(QLatin1String("TSurl_1")).toString(),
                 QStringLiteral("udp://239.255.0.%1:5000").arg(10 + i));
        QCOMPARE(r.value(QLatin1String("JPEGurl_2")).toString(),
                 QStringLiteral("http://%1:%2/snap.jpg").arg(ip).arg(m_httpPort));
        seen.insert(ip);
    }
    QCOMPARE(seen, (QSet<QString>{QStringLiteral("127.0.0.11"), QStringLiteral("127.0.0.12")}));
    // No third reply trails behind.
    QCOMPARE(collect(receiver, 1, 300).size(), 0);

    const QString from = QStringLiteral("127.0.0.1:%1").arg(receiver.localPort());
    QVERIFY(
        tx.waitForLine(exactLine(
            QStringLiteral("txsim: discovery request from %1 (65 bytes, frame ok)").arg(from))) >=
        0);
    QVERIFY(tx.waitForLine(exactLine(
                QStringLiteral("txsim: reply 127.0.0.11 \"Camera 1\" -> %1").arg(from))) >= 0);
    QVERIFY(tx.waitForLine(exactLine(
                QStringLiteral("txsim: reply 127.0.0.12 \"Camera 2\" -> %1").arg(from))) >= 0);

    const Fetched good =
        fetch(QUrl(QStringLiteral("http://127.0.0.11:%1/snap.jpg").arg(m_httpPort)));
    QCOMPARE(good.error, QNetworkReply::NoError);
    QCOMPARE(good.status, 200);
    QCOMPARE(good.contentType, QByteArray("image/jpeg"));
    QImage picture;
    QVERIFY(picture.loadFromData(good.body, "JPEG"));
    QCOMPARE(picture.size(), QSize(1280, 720));
    QVERIFY(tx.waitForLine(
                QRegularExpression(QStringLiteral("^txsim: GET /snap\\.jpg from 127\\.0\\.0\\.1 -> "
                                                  "127\\.0\\.0\\.11 200 \\(%1 bytes\\)$")
                                       .arg(good.body.size()))) >= 0);

    const Fetched missing =
        fetch(QUrl(QStringLiteral("http://127.0.0.12:%1/snap.jpg").arg(m_httpPort)));
    QCOMPARE(missing.status, 404);
    QVERIFY(tx.waitForLine(exactLine(
                QStringLiteral("txsim: GET /snap.jpg from 127.0.0.1 -> 127.0.0.12 404"))) >= 0);

    // A healthy transmitter still refuses paths it does not serve.
    QCOMPARE(fetch(QUrl(QStringLiteral("http://127.0.0.11:%1/other.jpg").arg(m_httpPort))).status,
             404);
}

void TestTxsim::eachSourceHasItsOwnLiveCard()
{
    ToolProcess tx;
    QVERIFY2(startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("2"),
                             QStringLiteral("--size"), QStringLiteral("320x240")}),
             qPrintable(tx.dump()));
    const QUrl first(QStringLiteral("http://127.0.0.11:%1/snap.jpg").arg(m_httpPort));
    const QUrl second(QStringLiteral("http://127.0.0.12:%1/snap.jpg").arg(m_httpPort));

    QImage a, b;
    QVERIFY(a.loadFromData(fetch(first).body, "JPEG"));
    QVERIFY(b.loadFromData(fetch(second).body, "JPEG"));
    QCOMPARE(a.size(), QSize(320, 240));
    QCOMPARE(b.size(), QSize(320, 240));
    // Background colours differ between sources (sampled away from text and bars).
    const QColor ca = a.pixelColor(8, 100), cb = b.pixelColor(8, 100);
    QVERIFY2(qAbs(ca.hue() - cb.hue()) > 30,
             qPrintable(QStringLiteral("%1 vs %2").arg(ca.name(), cb.name())));

    // The clock moves: a picture fetched over a second later is different.
    QTest::qWait(1100);
    QImage later;
    QVERIFY(later.loadFromData(fetch(first).body, "JPEG"));
    QVERIFY(later != a);
}

void TestTxsim::malformedDatagramsAreReportedNotFatal()
{
    ToolProcess tx;
    QVERIFY2(startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("1")}),
             qPrintable(tx.dump()));
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const auto send = [&receiver](const QByteArray &d) {
        QCOMPARE(receiver.writeDatagram(d, QHostAddress::LocalHost, 3600), qint64(d.size()));
    };

    const QByteArray good = discoveryDatagram();
    QByteArray badCrc = good;
    badCrc[64] = char(badCrc.at(64) ^ 1);
    QByteArray replyMarker = good;
    replyMarker[0] = char(0xFB);
    send(QByteArray::fromHex("fa"));
    send(badCrc);
    send(replyMarker);
    send(good.left(40));
    send(good.left(4) + QByteArray(R"({"targ":"","cmd":"get_param","login_ack":"","pwd_msg":"" )") +
         good.right(4));

    QVERIFY(tx.waitForLine(
                QRegularExpression(QStringLiteral("^txsim: bad datagram from 127\\.0\\.0\\.1:\\d+ "
                                                  "\\(1 bytes\\): bad frame: too short$"))) >= 0);
    const QRegularExpression crcRefused(
        QStringLiteral("\\(65 bytes\\): bad frame: crc 0x[0-9a-f]{8}, computed 0x[0-9a-f]{8}$"));
    const int firstCrc = tx.waitForLine(crcRefused);
    QVERIFY(firstCrc >= 0);
    QVERIFY(tx.waitForLine(
                QRegularExpression(QStringLiteral("bad frame: marker 0xfb, expected 0xfa$"))) >= 0);
    QVERIFY(tx.waitForLine(QRegularExpression(
                QStringLiteral("\\(40 bytes\\): bad frame: length field 61"))) >= 0);
    // Same length, payload altered: the CRC catches it before JSON parsing.
    QVERIFY(tx.waitForLine(crcRefused, 5000, firstCrc + 1) >= 0);
    QCOMPARE(collect(receiver, 1, 300).size(), 0);

    // A framed request with broken JSON or another command is refused too.
    QByteArray brokenJson = QByteArray(R"({"cmd":"get_param")");
    const auto frameByHand = [](const QByteArray &payload) {
        const auto crc =
            static_cast<quint32>(crc32(0L, reinterpret_cast<const Bytef *>(payload.constData()),
                                       static_cast<uInt>(payload.size())));
        QByteArray d = QByteArray::fromHex("faa0");
        d.append(char((payload.size() + 4) >> 8))
            .append(char((payload.size() + 4) & 0xFF))
            .append(payload);
        for (int shift = 24; shift >= 0; shift -= 8)
            d.append(static_cast<char>((crc >> shift) & 0xFF));
        return d;
    };
    send(frameByHand(brokenJson));
    send(frameByHand(R"({"cmd":"set_param"})"));
    QVERIFY(tx.waitForLine(QRegularExpression(QStringLiteral(": bad json: .+ at offset \\d+$"))) >=
            0);
    QVERIFY(tx.waitForLine(
                QRegularExpression(QStringLiteral(": cmd \"set_param\" is not get_param$"))) >= 0);
    QCOMPARE(collect(receiver, 1, 300).size(), 0);

    // Still alive and answering.
    send(good);
    QCOMPARE(collect(receiver, 1, 3000).size(), 1);
    QCOMPARE(tx.process().state(), QProcess::Running);
}

void TestTxsim::unicastRequestIsAnsweredByItsTransmitterOnly()
{
    ToolProcess tx;
    QVERIFY2(startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("3")}),
             qPrintable(tx.dump()));
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    receiver.writeDatagram(discoveryDatagram(), QHostAddress(QStringLiteral("127.0.0.12")), 3600);
    const QList<QNetworkDatagram> replies = collect(receiver, 3, 1000);
    QCOMPARE(replies.size(), 1);
    QString why;
    QCOMPARE(replyRecord(replies.at(0).data(), &why).value(QLatin1String("ip")).toString(),
             QStringLiteral("127.0.0.12"));
}

void TestTxsim::replyVariants()
{
    ToolProcess tx;
    QVERIFY2(
        startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("4"), QStringLiteral("--no-ts"),
                        QStringLiteral("1"), QStringLiteral("--bad-model"), QStringLiteral("2"),
                        QStringLiteral("--twice"), QStringLiteral("3"), QStringLiteral("--bare"),
                        QStringLiteral("4"), QStringLiteral("--garbage"),
                        QStringLiteral("--name-prefix"), QStringLiteral("Cam-")}),
        qPrintable(tx.dump()));
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    receiver.writeDatagram(discoveryDatagram(), QHostAddress::LocalHost, 3600);
    // 4 x (noise + truncated frame) + 1 + 1 + 2 + 1 replies.
    const QList<QNetworkDatagram> all = collect(receiver, 13, 3000);
    QCOMPARE(all.size(), 13);
    QCOMPARE(collect(receiver, 1, 300).size(), 0);

    QMap<QString, QList<QJsonObject>> framed;
    QList<QJsonObject> bare;
    int refused = 0;
    for (const QNetworkDatagram &d : all) {
        QString why;
        const QJsonObject r = replyRecord(d.data(), &why);
        if (!r.isEmpty()) {
            framed[r.value(QLatin1String("ip")).toString()] << r;
            QCOMPARE(d.senderAddress().toString(), r.value(QLatin1String("ip")).toString());
            continue;
        }
        const QJsonDocument doc = QJsonDocument::fromJson(d.data());
        if (doc.isObject())
            bare << doc.object().value(QLatin1String("data")).toArray().at(0).toObject();
        else
            ++refused;
    }
    QCOMPARE(refused, 8);
    QCOMPARE(framed.value(QStringLiteral("127.0.0.11")).size(), 1);
    QCOMPARE(
        framed.value(QStringLiteral("127.0.0.11")).at(0).value(QLatin1String("isTS_1")).toString(),
        QStringLiteral("0"));
    QCOMPARE(
        framed.value(QStringLiteral("127.0.0.11")).at(0).value(QLatin1String("cName")).toString(),
        QStringLiteral("Cam-1"));
    QCOMPARE(framed.value(QStringLiteral("127.0.0.12")).size(), 1);
    QCOMPARE(
        framed.value(QStringLiteral("127.0.0.12")).at(0).value(QLatin1String("model")).toString(),
        QStringLiteral("618204-tx"));
    QCOMPARE(framed.value(QStringLiteral("127.0.0.13")).size(), 2);
    QCOMPARE(framed.value(QStringLiteral("127.0.0.13")).at(0),
             framed.value(QStringLiteral("127.0.0.13")).at(1));
    QVERIFY(!framed.contains(QStringLiteral("127.0.0.14")));
    QCOMPARE(bare.size(), 1);
    QCOMPARE(bare.at(0).value(QLatin1String("ip")).toString(), QStringLiteral("127.0.0.14"));
    QVERIFY(tx.waitForLine(QRegularExpression(
                QStringLiteral("^txsim: reply 127\\.0\\.0\\.13 .* \\(again\\)$"))) >= 0);
    QVERIFY(tx.waitForLine(QRegularExpression(
                QStringLiteral("^txsim: reply 127\\.0\\.0\\.14 .* \\(bare, no frame\\)$"))) >= 0);
    QCOMPARE(tx.countLines(
                 QRegularExpression(QStringLiteral("^txsim: garbage 127\\.0\\.0\\.1[1-4] -> "))),
             4);
}

void TestTxsim::replyDelay()
{
    ToolProcess tx;
    QVERIFY2(startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("1"),
                             QStringLiteral("--reply-delay"), QStringLiteral("800")}),
             qPrintable(tx.dump()));
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QElapsedTimer clock;
    clock.start();
    receiver.writeDatagram(discoveryDatagram(), QHostAddress::LocalHost, 3600);
    QCOMPARE(collect(receiver, 1, 5000).size(), 1);
    // Qt may fire a timer a little early, never by a tenth.
    QVERIFY2(clock.elapsed() >= 700, qPrintable(QString::number(clock.elapsed())));
}

void TestTxsim::previewFaults()
{
    ToolProcess tx;
    QVERIFY2(
        startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("5"), QStringLiteral("--hang"),
                        QStringLiteral("1"), QStringLiteral("--drip"), QStringLiteral("2"),
                        QStringLiteral("--text"), QStringLiteral("3"), QStringLiteral("--redirect"),
                        QStringLiteral("4"), QStringLiteral("--huge"), QStringLiteral("5")}),
        qPrintable(tx.dump()));
    const auto url = [this](int i, const char *path = "/snap.jpg") {
        return QUrl(QStringLiteral("http://127.0.0.%1:%2%3")
                        .arg(10 + i)
                        .arg(m_httpPort)
                        .arg(QLatin1String(path)));
    };
    const QByteArray get = "GET /snap.jpg HTTP/1.1\r\nHost: x\r\n\r\n";

    // hang: connected, request read, nothing ever comes back.
    QTcpSocket hang;
    hang.connectToHost(QHostAddress(QStringLiteral("127.0.0.11")), m_httpPort);
    QVERIFY(hang.waitForConnected(3000));
    hang.write(get);
    QVERIFY(tx.waitForLine(exactLine(QStringLiteral(
                "txsim: GET /snap.jpg from 127.0.0.1 -> 127.0.0.11 hang (no answer)"))) >= 0);

    // drip: starts with a status line, one byte a second.
    QTcpSocket drip;
    drip.connectToHost(QHostAddress(QStringLiteral("127.0.0.12")), m_httpPort);
    QVERIFY(drip.waitForConnected(3000));
    drip.write(get);
    QVERIFY(tx.waitForLine(exactLine(QStringLiteral(
                "txsim: GET /snap.jpg from 127.0.0.1 -> 127.0.0.12 drip (1 byte/s)"))) >= 0);

    const Fetched text = fetch(url(3));
    QCOMPARE(text.status, 200);
    QVERIFY(text.contentType.startsWith("text/html"));
    QVERIFY(text.body.contains("Camera 3"));
    QVERIFY(QImage::fromData(text.body).isNull());

    const Fetched moved = fetch(url(4));
    QCOMPARE(moved.status, 301);
    QCOMPARE(moved.location, url(4, "/redirected.jpg").toString().toUtf8());
    const Fetched followed = fetch(url(4), true);
    QCOMPARE(followed.status, 200);
    QImage redirected;
    QVERIFY(redirected.loadFromData(followed.body, "JPEG"));
    QCOMPARE(redirected.size(), QSize(1280, 720));

    const Fetched huge = fetch(url(5));
    QCOMPARE(huge.status, 200);
    QCOMPARE(huge.contentType, QByteArray("image/jpeg"));
    QVERIFY(huge.body.size() < 4096);
    QBuffer buffer(const_cast<QByteArray *>(&huge.body));
    QImageReader reader(&buffer, "JPEG");
    QCOMPARE(reader.size(), QSize(16000, 16000));

    // By now (well over a second after the request) hang has sent nothing and
    // drip has sent a few bytes of a status line.
    QTest::qWait(1200);
    QCOMPARE(hang.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(hang.bytesAvailable(), qint64(0));
    QVERIFY(hang.readAll().isEmpty());
    drip.waitForReadyRead(100);
    const QByteArray dripped = drip.readAll();
    QVERIFY2(dripped.size() >= 2 && dripped.size() <= 6, dripped.constData());
    QVERIFY(QByteArray("HTTP/1.0 200 OK").startsWith(dripped));

    hang.abort();
    drip.abort();
    QVERIFY(tx.waitForLine(QRegularExpression(
                QStringLiteral("^txsim: closed from 127\\.0\\.0\\.1 -> 127\\.0\\.0\\.11 hang after "
                               "\\d+ ms \\(0 bytes sent\\)$"))) >= 0);
    QVERIFY(tx.waitForLine(QRegularExpression(QStringLiteral(
                "^txsim: closed from 127\\.0\\.0\\.1 -> 127\\.0\\.0\\.12 drip after \\d+ ms"))) >=
            0);
}

void TestTxsim::endlessBodyRunsUntilClientLeaves()
{
    ToolProcess tx;
    QVERIFY2(startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("1"),
                             QStringLiteral("--endless"), QStringLiteral("1")}),
             qPrintable(tx.dump()));
    QTcpSocket client;
    client.connectToHost(QHostAddress(QStringLiteral("127.0.0.11")), m_httpPort);
    QVERIFY(client.waitForConnected(3000));
    client.write("GET /snap.jpg HTTP/1.0\r\n\r\n");
    QByteArray head;
    qint64 received = 0;
    QElapsedTimer clock;
    clock.start();
    // Well past the 16 MiB the receiver accepts.
    while (received < 20 * 1024 * 1024 && clock.elapsed() < 20000) {
        if (!client.bytesAvailable())
            client.waitForReadyRead(1000);
        const QByteArray chunk = client.readAll();
        if (head.size() < 200)
            head += chunk.left(200);
        received += chunk.size();
    }
    QVERIFY2(received >= 20 * 1024 * 1024, qPrintable(QString::number(received)));
    QVERIFY(head.startsWith("HTTP/1.0 200 OK\r\n"));
    QVERIFY(!head.contains("Content-Length"));
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
    client.abort();
    QVERIFY(tx.waitForLine(QRegularExpression(
                QStringLiteral("^txsim: closed from 127\\.0\\.0\\.1 -> 127\\.0\\.0\\.11 endless "
                               "after \\d+ ms \\(\\d+ bytes sent\\)$"))) >= 0);
    QCOMPARE(tx.process().state(), QProcess::Running);
}

void TestTxsim::streamsOnlyWhileListened()
{
#ifndef TOOLS_VIDEO
    QSKIP("built without GStreamer");
#else
    ToolProcess tx;
    QVERIFY2(startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("2")}),
             qPrintable(tx.dump()));
    QVERIFY(tx.lines().contains(
        QStringLiteral("txsim: transmitter 1 stream udp://239.255.0.11:5000 when listened")));
    const QRegularExpression started1(
        QStringLiteral("^txsim: transmitter 1 streams to udp://239\\.255\\.0\\.11:5000 "));
    const QRegularExpression started2(QStringLiteral("^txsim: transmitter 2 streams to "));
    QTest::qWait(1500);
    QCOMPARE(tx.countLines(started1), 0);

    {
        QUdpSocket listener;
        QVERIFY2(joinStream(listener, 1), qPrintable(listener.errorString()));
        QVERIFY2(tx.waitForLine(started1, 5000) >= 0, qPrintable(tx.dump()));
        const Received got = receiveStream(listener, 2500);
        QVERIFY2(got.datagrams > 10, qPrintable(QString::number(got.datagrams)));
        QVERIFY(got.wellFormed);
        QVERIFY(hasH264ParameterSet(got.payload));
        QCOMPARE(tx.countLines(started2), 0); // nobody joined the second group
    }                                         // leaves the group

    const QRegularExpression stopped(
        QStringLiteral("^txsim: transmitter 1 stream stopped: nobody listens$"));
    QVERIFY2(tx.waitForLine(stopped, 5000) >= 0, qPrintable(tx.dump()));
    QCOMPARE(tx.countLines(started1), 1);
#endif
}

void TestTxsim::streamFaults()
{
#ifndef TOOLS_VIDEO
    QSKIP("built without GStreamer");
#else
    ToolProcess tx;
    QUdpSocket normal, silent, stopping;
    QVERIFY(joinStream(normal, 1));
    QVERIFY(joinStream(silent, 2));
    QVERIFY(joinStream(stopping, 3));
    QVERIFY2(
        startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("3"), QStringLiteral("--stream"),
                        QStringLiteral("always"), QStringLiteral("--silent"), QStringLiteral("2"),
                        QStringLiteral("--stream-stop"), QStringLiteral("3"),
                        QStringLiteral("--stream-stop-after"), QStringLiteral("1")}),
        qPrintable(tx.dump()));
    QVERIFY(tx.lines().contains(
        QStringLiteral("txsim: transmitter 2 stream udp://239.255.0.12:5000 silent")));
    QVERIFY(tx.lines().contains(
        QStringLiteral("txsim: transmitter 3 stream udp://239.255.0.13:5000 stops after 1 s")));

    // The stopping stream runs, then ends for good.
    QVERIFY2(tx.waitForLine(
                 exactLine(QStringLiteral("txsim: transmitter 3 stream stopped (fault) after 1 s")),
                 6000) >= 0,
             qPrintable(tx.dump()));
    const Received before = receiveStream(stopping, 200);
    QVERIFY2(before.datagrams > 0, "the stopping stream sent nothing before it stopped");
    const Received afterStop = receiveStream(stopping, 1500);
    QCOMPARE(afterStop.datagrams, 0);

    // The normal one still runs; the silent one never sent anything.
    const Received running = receiveStream(normal, 1500);
    QVERIFY(running.datagrams > 5);
    QVERIFY(running.wellFormed);
    QCOMPARE(receiveStream(silent, 100).datagrams, 0);
    QCOMPARE(tx.countLines(QRegularExpression(QStringLiteral("^txsim: transmitter 2 streams"))), 0);
#endif
}

void TestTxsim::badOptionsAreRefused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("count 0") << QStringList{QStringLiteral("--count"), QStringLiteral("0")};
    QTest::newRow("index beyond count")
        << QStringList{QStringLiteral("--count"), QStringLiteral("2"), QStringLiteral("--hang"),
                       QStringLiteral("3")};
    QTest::newRow("two faults") << QStringList{QStringLiteral("--hang"), QStringLiteral("1"),
                                               QStringLiteral("--drip"), QStringLiteral("1")};
    QTest::newRow("size") << QStringList{QStringLiteral("--size"), QStringLiteral("1280")};
    QTest::newRow("stream mode") << QStringList{QStringLiteral("--stream"), QStringLiteral("on")};
    QTest::newRow("stream size") << QStringList{QStringLiteral("--stream-size"),
                                                QStringLiteral("4000x100")};
    QTest::newRow("stream fps") << QStringList{QStringLiteral("--stream-fps"), QStringLiteral("0")};
    QTest::newRow("stream stop index")
        << QStringList{QStringLiteral("--count"), QStringLiteral("2"),
                       QStringLiteral("--stream-stop"), QStringLiteral("3")};
}

void TestTxsim::badOptionsAreRefused()
{
    QFETCH(QStringList, args);
    ToolProcess tx;
    QVERIFY(tx.start(txsimPath, args));
    QVERIFY(tx.waitForFinished());
    QCOMPARE(tx.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(tx.process().exitCode(), 2);
    QVERIFY(!tx.lines().contains(QStringLiteral("txsim: ready")));
}

void TestTxsim::exitsCleanlyOnSignal_data()
{
    QTest::addColumn<int>("sig");
    QTest::addColumn<QString>("name");
    QTest::newRow("SIGINT") << int(SIGINT) << QStringLiteral("SIGINT");
    QTest::newRow("SIGTERM") << int(SIGTERM) << QStringLiteral("SIGTERM");
}

void TestTxsim::exitsCleanlyOnSignal()
{
    QFETCH(int, sig);
    QFETCH(QString, name);
    ToolProcess tx;
    QVERIFY2(startTxsim(tx, {QStringLiteral("--count"), QStringLiteral("1")}),
             qPrintable(tx.dump()));
    tx.signal(sig);
    QVERIFY(tx.waitForFinished());
    QCOMPARE(tx.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(tx.process().exitCode(), 0);
    QVERIFY(tx.lines().contains(QStringLiteral("txsim: stopping on %1").arg(name)));
}

QTEST_MAIN(TestTxsim)
#include "tst_txsim.moc"
