#include "udpclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QSignalSpy>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include "logcapture.h"
#include "netguard.h"

#include <zlib.h>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

quint32 zlibCrc(const QByteArray &bytes)
{
    return quint32(
        crc32(0L, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size())));
}

QByteArray bigEndian32(quint32 v)
{
    QByteArray b(4, '\0');
    b[0] = char(v >> 24);
    b[1] = char(v >> 16);
    b[2] = char(v >> 8);
    b[3] = char(v);
    return b;
}

// A reply as a transmitter frames it: FB A0, length, payload, CRC.
QByteArray replyFrame(const QByteArray &payload)
{
    QByteArray frame = hex("FBA0");
    frame.append(char((payload.size() + 4) >> 8)).append(char((payload.size() + 4) & 0xFF));
    return frame + payload + bigEndian32(zlibCrc(payload));
}

QByteArray record(const QString &ip, const QString &cName, const QJsonValue &model,
                  const QString &jpeg = QString())
{
    QJsonObject rec{{"ip", ip},
                    {"cName", cName},
                    {"model", model},
                    {"isTS_1", "1"},
                    {"TSurl_1", "udp://239.255.0.1:5000"}};
    if (!jpeg.isNull())
        rec.insert("JPEGurl_2", jpeg);
    return QJsonDocument(QJsonObject{{"data", QJsonArray{rec}}}).toJson(QJsonDocument::Compact);
}

// The transmitters' side: listens on the real discovery port.
class FakeTransmitter
{
public:
    FakeTransmitter()
    {
        socket.setProxy(QNetworkProxy::NoProxy); // the test's own sockets look no proxy up
        QVERIFY(socket.bind(QHostAddress::AnyIPv4, 3600,
                            QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
    }
    // Waits for the next request and remembers where it came from.
    QByteArray takeRequest(int timeout = 3000)
    {
        QElapsedTimer t;
        t.start();
        while (!socket.hasPendingDatagrams() && t.elapsed() < timeout)
            QTest::qWait(10);
        if (!socket.hasPendingDatagrams())
            return QByteArray();
        const QNetworkDatagram d = socket.receiveDatagram();
        peer = d.senderAddress();
        peerPort = quint16(d.senderPort());
        return d.data();
    }
    void answer(const QByteArray &datagram) { socket.writeDatagram(datagram, peer, peerPort); }

    QUdpSocket socket;
    QHostAddress peer;
    quint16 peerPort = 0;
};

} // namespace

class TestUdpClient : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void constants();
    void modelListWhiteSpace_data();
    void modelListWhiteSpace();
    void crcCheckValue();
    void frame_data();
    void frame();
    void frameReplacesPreviousContent();
    void parseMsg_data();
    void parseMsg();

    void discoveryRequestOnTheWire();
    void replies();
    void badInputIsDroppedAndNextReplyAccepted();
    void repeatedKeys_data();
    void repeatedKeys();
    void secondDiscoveryDuringWindowIsIgnored();
    void lateReplyStaysQueuedAndLinkStaysAlive();
    void noReplyOnlyLogsCompletion();

    void playCommandWireText();
    void playLookup_data();
    void playLookup();

    void refreshPass();
    void refreshWalksSnapshot();
    void refreshSkipsNestedTicks();
    void refreshTimer();
    void proxyInEnvironmentIsNotUsed();

private:
    static int build(QByteArray &out, const QByteArray &message)
    {
        UdpClient c;
        return c.buildMessage(out, message);
    }
};

void TestUdpClient::initTestCase()
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture::install();
}

void TestUdpClient::init()
{
    // The discovery flag is global: let any window of an earlier test end.
    QTRY_VERIFY_WITH_TIMEOUT(!onDiscovery, 5000);
    LogCapture::lines().clear();
}

void TestUdpClient::cleanup()
{
    onDiscovery = false;
}

void TestUdpClient::constants()
{
    UdpClient c;
    QCOMPARE(models(), QStringList({"618204-TX", "618205-TX", "47130"}));
    QCOMPARE(strModel(), QString("618204-TX,618205-TX,47130"));
    QCOMPARE(broadcast(),
             QByteArray(R"({"targ":"","cmd":"get_param","login_ack":"","pwd_msg":""})"));
    QCOMPARE(broadcast().size(), 57);
    QCOMPARE(int(UdpClient::discoveryPort), 3600);
    QCOMPARE(int(UdpClient::playerPort), 3601);
    QCOMPARE(UdpClient::discoveryWindowMs, 2000);
}

void TestUdpClient::modelListWhiteSpace_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("stripped");
    QTest::addColumn<QStringList>("list");

    QTest::newRow("the default") << "618204-TX, 618205-TX, 47130"
                                 << "618204-TX,618205-TX,47130"
                                 << QStringList({"618204-TX", "618205-TX", "47130"});
    QTest::newRow("tabs, newlines, form feed, carriage return")
        << "\t618204-TX ,\n 618205-TX\r\n,\f\v47130 "
        << "618204-TX,618205-TX,47130" << QStringList({"618204-TX", "618205-TX", "47130"});
    // Not ASCII, but white space to QChar::isSpace() as to QRegExp's \s.
    QTest::newRow("no-break space, em space, ideographic space")
        << QString::fromUtf8("618204-TX,\u00a0618205-TX\u2003,\u300047130\u00a0")
        << "618204-TX,618205-TX,47130" << QStringList({"618204-TX", "618205-TX", "47130"});
    QTest::newRow("line and paragraph separators, next line")
        << QString::fromUtf8("61\u20288204-TX,\u2029618205-TX,\u008547130")
        << "618204-TX,618205-TX,47130" << QStringList({"618204-TX", "618205-TX", "47130"});
    // Neither counts as white space: both stay inside the model names.
    QTest::newRow("zero-width space and word joiner stay")
        << QString::fromUtf8("618204\u200b-TX, 47\u2060130")
        << QString::fromUtf8("618204\u200b-TX,47\u2060130")
        << QStringList({QString::fromUtf8("618204\u200b-TX"), QString::fromUtf8("47\u2060130")});
    QTest::newRow("empty entries are skipped") << " , 618204-TX,\u2003,, "
                                               << ",618204-TX,,,"
                                               << QStringList({"618204-TX"});
}

void TestUdpClient::modelListWhiteSpace()
{
    QFETCH(QString, text);
    QFETCH(QString, stripped);
    QFETCH(QStringList, list);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // The match the program had: QRegExp's \s, which Qt 5 still has in QtCore.
    QCOMPARE(QString(text).remove(QRegExp(QStringLiteral("\\s"))), stripped);
#endif
    const QString before = strModel();
    strModel() = text;
    {
        UdpClient c;
        QCOMPARE(strModel(), stripped);
        QCOMPARE(models(), list);
    }
    strModel() = before;
    UdpClient restored;
    QCOMPARE(models(), QStringList({"618204-TX", "618205-TX", "47130"}));
}

void TestUdpClient::crcCheckValue()
{
    UdpClient c;
    QCOMPARE(c.crc32b("123456789"), 0xCBF43926u);
    QCOMPARE(c.crc32b(QByteArray()), 0u);
    // The checksum stops at the first zero byte.
    QCOMPARE(c.crc32b(QByteArray("abc\0def", 7)), c.crc32b("abc"));
    const QByteArray all = QByteArray::fromHex("0102037f80fefffe");
    QCOMPARE(c.crc32b(all), zlibCrc(all));
}

void TestUdpClient::frame_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("covered"); // what the CRC trailer covers

    QTest::newRow("discovery request") << broadcast() << hex("FAA0003D") << broadcast();
    QTest::newRow("empty") << QByteArray() << hex("FAA00004") << QByteArray();
    QTest::newRow("zero byte") << QByteArray("{\"a\":\0\"b\"}", 10) << hex("FAA0000E")
                               << QByteArray("{\"a\":");
    QTest::newRow("300 bytes") << QByteArray(300, 'x') << hex("FAA00130") << QByteArray(300, 'x');
}

void TestUdpClient::frame()
{
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, covered);

    QByteArray out;
    QCOMPARE(build(out, payload), payload.size() + 8);
    QCOMPARE(out.size(), payload.size() + 8);
    QCOMPARE(out.left(4), header);
    QCOMPARE(out.mid(4, payload.size()), payload);
    QCOMPARE(out.right(4), bigEndian32(zlibCrc(covered)));
}

void TestUdpClient::frameReplacesPreviousContent()
{
    QByteArray out(500, '\x55');
    QCOMPARE(build(out, QByteArray()), 8);
    QCOMPARE(out, hex("FAA0000400000000"));
}

void TestUdpClient::parseMsg_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray json = R"({"data":[]})";
    QTest::newRow("reply frame") << replyFrame(json) << json;
    QTest::newRow("reply frame, wrong length and CRC")
        << hex("FBA0FFFF") + json + hex("00000000") << json;
    QTest::newRow("request marker")
        << hex("FAA0000F") + json + hex("01020304") << hex("FAA0000F") + json + hex("01020304");
    QTest::newRow("bare json") << json << json;
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("one byte FB") << hex("FB") << hex("FB");
    QTest::newRow("marker only") << hex("FBA0") << QByteArray();
    QTest::newRow("runt of 7") << hex("FBA00004414243") << QByteArray();
    QTest::newRow("header and trailer only") << hex("FBA0000400000000") << QByteArray();
}

void TestUdpClient::parseMsg()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QByteArray, expected);
    UdpClient c;
    // A detached copy, so that any read past the end shows under the sanitizers.
    QByteArray buffer(datagram.constData(), datagram.size());
    c.parseMsg(buffer);
    QCOMPARE(buffer, expected);
}

void TestUdpClient::discoveryRequestOnTheWire()
{
    FakeTransmitter tx;
    UdpClient c;
    c.discovery();
    QVERIFY(onDiscovery);
    const QByteArray request = tx.takeRequest();
    QByteArray expected;
    build(expected, broadcast());
    QCOMPARE(request.size(), 65);
    QCOMPARE(request, expected);
    QCOMPARE(tx.peer.toIPv4Address(), QHostAddress(QHostAddress::LocalHost).toIPv4Address());
    QTRY_VERIFY_WITH_TIMEOUT(!onDiscovery, 4000);
    QCOMPARE(LogCapture::lines(), QStringList({"discovery completed\n\n"}));
}

void TestUdpClient::replies()
{
    FakeTransmitter tx;
    UdpClient c;
    QSignalSpy spy(&c, &UdpClient::sourceUpdated);
    c.discovery();
    QVERIFY(!tx.takeRequest().isEmpty());

    const QString url = "http://127.0.0.11/snap.jpg";
    tx.answer(replyFrame(record("127.0.0.11", "Cam A", "618204-TX", url)));
    tx.answer(replyFrame(record("127.0.0.12", "lower", "618204-tx")));
    tx.answer(replyFrame(record("127.0.0.13", "space", " 618204-TX")));
    tx.answer(replyFrame(record("127.0.0.14", "nosuffix", "618204")));
    tx.answer(replyFrame(record("127.0.0.15", "number", 47130)));
    tx.answer(record("127.0.0.16", "bare", "47130"));             // no frame at all
    tx.answer(replyFrame(record("127.0.0.16", "bare", "47130"))); // the same one again
    // Only the first element of "data" counts.
    tx.answer(replyFrame(
        QJsonDocument(QJsonObject{{"data", QJsonArray{QJsonObject{{"ip", "127.0.0.17"},
                                                                  {"cName", "first"},
                                                                  {"model", "618205-TX"}},
                                                      QJsonObject{{"ip", "127.0.0.18"},
                                                                  {"model", "618205-TX"}}}}})
            .toJson()));
    tx.answer(replyFrame(R"({"data":[]})"));
    tx.answer(replyFrame(R"({"data":[1,{"model":"47130"}]})"));
    tx.answer(replyFrame(R"({"data":{"model":"47130"}})"));
    tx.answer(replyFrame(R"([{"data":[{"model":"47130"}]}])"));
    tx.answer(replyFrame(R"({"data":[{"model":"47130"}]})")); // no ip, no cName

    QTRY_COMPARE(spy.count(), 5);
    QTRY_VERIFY_WITH_TIMEOUT(!onDiscovery, 4000);
    QCOMPARE(spy.count(), 5);

    QCOMPARE(spy.at(0), QVariantList({"127.0.0.11", "Cam A", url}));
    QCOMPARE(spy.at(1), QVariantList({"127.0.0.16", "bare", QString()}));
    QCOMPARE(spy.at(2), QVariantList({"127.0.0.16", "bare", QString()}));
    QCOMPARE(spy.at(3), QVariantList({"127.0.0.17", "first", QString()}));
    QCOMPARE(spy.at(4), QVariantList({QString(), QString(), QString()}));
    QCOMPARE(c.jsonList.size(), 5);
    // Records are stored exactly as sent.
    QCOMPARE(c.jsonList.at(0),
             QJsonDocument::fromJson(record("127.0.0.11", "Cam A", "618204-TX", url))
                 .object()["data"]
                 .toArray()
                 .at(0)
                 .toObject());
    QCOMPARE(c.jsonList.at(3).keys(), QStringList({"cName", "ip", "model"}));

    QCOMPARE(LogCapture::lines(), QStringList({
                                      "\nfind new TX  \"Cam A\" [ \"127.0.0.11\" ]",
                                      "\nfind new TX  \"bare\" [ \"127.0.0.16\" ]",
                                      "\nfind new TX  \"bare\" [ \"127.0.0.16\" ]",
                                      "\nfind new TX  \"first\" [ \"127.0.0.17\" ]",
                                      "\nfind new TX  \"\" [ \"\" ]",
                                      "discovery completed\n\n",
                                  }));
}

void TestUdpClient::badInputIsDroppedAndNextReplyAccepted()
{
    FakeTransmitter tx;
    UdpClient c;
    QSignalSpy spy(&c, &UdpClient::sourceUpdated);
    c.discovery();
    QVERIFY(!tx.takeRequest().isEmpty());

    QByteArray random(1200, '\0');
    quint32 seed = 12345;
    for (char &ch : random) {
        seed = seed * 1103515245u + 12345u;
        ch = char(seed >> 16);
    }
    random[0] = '\x01'; // not a marker, not a JSON start
    tx.answer(random);
    tx.answer(hex("FBA00004"));                                           // runt frame
    tx.answer(replyFrame(record("127.0.0.20", "cut", "47130")).left(30)); // truncated
    QByteArray big(65000, ' ');
    big.prepend("{\"data\":[");
    tx.answer(big); // unterminated, near the datagram limit
    tx.answer(replyFrame(QByteArray(3000, '[') + QByteArray(3000, ']'))); // deep nesting
    QByteArray many = "{\"data\":[";
    for (int i = 0; i < 10000; ++i)
        many += i ? ",7" : "7";
    many += "]}";
    tx.answer(replyFrame(many)); // large array, first element not an object
    tx.answer(replyFrame(record("127.0.0.21", "good", "618205-TX")));

    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QString("127.0.0.21"));
    QCOMPARE(c.jsonList.size(), 1);
    // Each unparsable datagram is logged with the parser's own error text, in quotes.
    QTRY_VERIFY(LogCapture::lines().size() >= 6);
    for (int i = 0; i < 4; ++i)
        QVERIFY2(LogCapture::lines().at(i).startsWith('"') &&
                     LogCapture::lines().at(i).endsWith('"'),
                 qPrintable(LogCapture::lines().at(i)));
    QCOMPARE(LogCapture::lines().at(4), QString("\"too deeply nested document\""));
    QCOMPARE(LogCapture::lines().at(5), QString("\nfind new TX  \"good\" [ \"127.0.0.21\" ]"));
}

void TestUdpClient::repeatedKeys_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("accepted");

    const QByteArray rec = R"({"ip":"a","cName":"A","model":"47130"})";
    QTest::newRow("plain reply") << "{\"data\":[" + rec + "]}" << true;
    QTest::newRow("same key in different objects")
        << QByteArray(R"({"ip":"x","data":[{"ip":"a","model":"47130","x":{"ip":1}}]})") << true;
    QTest::newRow("quoted brace in a value")
        << QByteArray(R"({"n":"{\"data\"","data":[)") + rec + "]}" << true;
    // Qt's parser leaks a replaced array or object: such replies are dropped.
    QTest::newRow("repeated data") << "{\"data\":[" + rec + "],\"data\":[" + rec + "]}" << false;
    QTest::newRow("repeated, escaped")
        << "{\"data\":[" + rec + "],\"d\\u0061ta\":[" + rec + "]}" << false;
    QTest::newRow("repeated in the record")
        << QByteArray(R"({"data":[{"ip":"a","model":"47130","x":{},"x":{}}]})") << false;
}

void TestUdpClient::repeatedKeys()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, accepted);
    UdpClient c;
    QCOMPARE(c.handleDatagram(replyFrame(payload)), accepted);
    QCOMPARE(c.jsonList.size(), accepted ? 1 : 0);
}

void TestUdpClient::secondDiscoveryDuringWindowIsIgnored()
{
    FakeTransmitter tx;
    UdpClient c;
    c.discovery();
    QVERIFY(!tx.takeRequest().isEmpty());
    tx.answer(replyFrame(record("127.0.0.11", "A", "47130")));
    QTRY_COMPARE(c.jsonList.size(), 1);
    QTest::qWait(500);
    c.discovery();
    QVERIFY(tx.takeRequest(300).isEmpty());
    QCOMPARE(c.jsonList.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!onDiscovery, 4000);
    // Only one window ended, only one completion line.
    QTest::qWait(600);
    QCOMPARE(LogCapture::lines().count("discovery completed\n\n"), 1);

    // After the window, a discovery clears the list and asks again.
    c.discovery();
    QCOMPARE(c.jsonList.size(), 0);
    QVERIFY(!tx.takeRequest().isEmpty());
}

void TestUdpClient::lateReplyStaysQueuedAndLinkStaysAlive()
{
    FakeTransmitter tx;
    UdpClient c;
    QSignalSpy spy(&c, &UdpClient::sourceUpdated);
    c.discovery();
    QVERIFY(!tx.takeRequest().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!onDiscovery, 4000);

    // A late reply is not read while no window is open.
    tx.answer(replyFrame(record("127.0.0.30", "late", "47130")));
    QTest::qWait(300);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(c.jsonList.size(), 0);
    QCOMPARE(LogCapture::lines(), QStringList({"discovery completed\n\n"}));

    // The next discovery handles the queued reply like a new one, and still
    // hears the replies to its own request.
    c.discovery();
    QVERIFY(!tx.takeRequest().isEmpty());
    tx.answer(replyFrame(record("127.0.0.31", "fresh", "47130")));
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0).at(1).toString(), QString("late"));
    QCOMPARE(spy.at(1).at(1).toString(), QString("fresh"));
    QCOMPARE(c.jsonList.size(), 2);

    // And the one after that too.
    QTRY_VERIFY_WITH_TIMEOUT(!onDiscovery, 4000);
    c.discovery();
    QVERIFY(!tx.takeRequest().isEmpty());
    tx.answer(replyFrame(record("127.0.0.32", "third", "47130")));
    QTRY_COMPARE(spy.count(), 3);
    QCOMPARE(c.jsonList.size(), 1);
}

void TestUdpClient::noReplyOnlyLogsCompletion()
{
    UdpClient c;
    QSignalSpy spy(&c, &UdpClient::sourceUpdated);
    c.jsonList.append(QJsonObject{{"ip", "old"}});
    c.discovery();
    QCOMPARE(c.jsonList.size(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!onDiscovery, 4000);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(LogCapture::lines(), QStringList({"discovery completed\n\n"}));
}

namespace {
class FakePlayer
{
public:
    FakePlayer()
    {
        socket.setProxy(QNetworkProxy::NoProxy);
        QVERIFY(socket.bind(QHostAddress::LocalHost, 3601));
    }
    QByteArray take(int timeout = 2000)
    {
        QElapsedTimer t;
        t.start();
        while (!socket.hasPendingDatagrams() && t.elapsed() < timeout)
            QTest::qWait(10);
        return socket.hasPendingDatagrams() ? socket.receiveDatagram().data() : QByteArray();
    }
    QUdpSocket socket;
};

QJsonObject playable(const QString &ip, const QJsonValue &url, const QJsonValue &ts = "1")
{
    return QJsonObject{{"ip", ip}, {"isTS_1", ts}, {"TSurl_1", url}};
}
} // namespace

void TestUdpClient::playCommandWireText()
{
    FakePlayer player;
    UdpClient c;
    c.jsonList << playable("127.0.0.11", "udp://239.1.1.1:5000  a\nb\"c\\/");
    QVERIFY(c.playSource("127.0.0.11"));
    const QByteArray datagram = player.take();
    const QByteArray payload =
        R"({ "cmd": "set_param_player", "data": [ { "player": [ { "player_num": "1", "playlist": [ ], "src_onplaying": "udp://239.1.1.1:5000 a\nb\"c\\/" } ] } ], "login_ack": "", "pwd_msg": "", "targ": "" })";
    QCOMPARE(datagram.mid(4, datagram.size() - 8), payload);
    QCOMPARE(datagram.left(2), hex("FAA0"));
    QCOMPARE(int((uchar(datagram[2]) << 8) | uchar(datagram[3])), payload.size() + 4);
    QCOMPARE(datagram.right(4), bigEndian32(zlibCrc(payload)));
    QCOMPARE(LogCapture::lines(), QStringList({"play source:  \"127.0.0.11\""}));
    QVERIFY(!onDiscovery); // a play command opens no window

    // Without a URL text the payload is 164 bytes.
    c.jsonList = {playable("x", "")};
    QVERIFY(c.playSource("x"));
    QCOMPARE(player.take().size(), 164 + 8);
}

void TestUdpClient::playLookup_data()
{
    QTest::addColumn<QList<QJsonObject>>("records");
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("url");

    QTest::newRow("empty list") << QList<QJsonObject>() << "a" << false << "";
    QTest::newRow("found") << QList<QJsonObject>{playable("a", "u1")} << "a" << true << "u1";
    QTest::newRow("ts 0") << QList<QJsonObject>{playable("a", "u1", "0")} << "a" << false << "";
    QTest::newRow("ts ' 1'") << QList<QJsonObject>{playable("a", "u1", " 1")} << "a" << false << "";
    QTest::newRow("ts number") << QList<QJsonObject>{playable("a", "u1", 1)} << "a" << false << "";
    QTest::newRow("no url") << QList<QJsonObject>{QJsonObject{{"ip", "a"}, {"isTS_1", "1"}}} << "a"
                            << false << "";
    QTest::newRow("second qualifies")
        << QList<QJsonObject>{playable("a", "u1", "0"), playable("a", "u2")} << "a" << true << "u2";
    QTest::newRow("first of two") << QList<QJsonObject>{playable("a", "u1"), playable("a", "u2")}
                                  << "a" << true << "u1";
    QTest::newRow("trailing space")
        << QList<QJsonObject>{playable("a", "u1")} << "a " << false << "";
    QTest::newRow("ip number") << QList<QJsonObject>{QJsonObject{
                                      {"ip", 5}, {"isTS_1", "1"}, {"TSurl_1", "u"}}}
                               << "5" << false << "";
}

void TestUdpClient::playLookup()
{
    QFETCH(QList<QJsonObject>, records);
    QFETCH(QString, id);
    QFETCH(bool, sent);
    QFETCH(QString, url);

    FakePlayer player;
    UdpClient c;
    c.jsonList = records;
    QCOMPARE(c.playSource(id), sent);
    QCOMPARE(c.jsonList, records);
    const QByteArray datagram = player.take(sent ? 2000 : 200);
    QCOMPARE(datagram.isEmpty(), !sent);
    if (sent) {
        const QJsonObject obj =
            QJsonDocument::fromJson(datagram.mid(4, datagram.size() - 8)).object();
        const QJsonObject instance =
            obj["data"].toArray()[0].toObject()["player"].toArray()[0].toObject();
        QCOMPARE(instance["src_onplaying"].toString(), url);
        QCOMPARE(instance.keys(), QStringList({"player_num", "playlist", "src_onplaying"}));
    }
    QCOMPARE(LogCapture::lines(), QStringList({"play source:  " + QString("\"%1\"").arg(id)}));
}

void TestUdpClient::refreshPass()
{
    UdpClient c;
    QSignalSpy spy(&c, &UdpClient::sourceUpdated);
    c.onRefreshPreview(); // nothing to announce
    QCOMPARE(spy.count(), 0);

    c.jsonList << QJsonObject{{"ip", "a"}, {"cName", "A"}, {"JPEGurl_2", "http://a/"}}
               << QJsonObject{{"ip", "b"}, {"cName", "B"}}
               << QJsonObject{{"ip", "c"}, {"cName", "C"}, {"JPEGurl_2", 42}}
               << QJsonObject{{"cName", "D"}, {"JPEGurl_2", "http://d/"}};
    c.onRefreshPreview();
    QCOMPARE(spy.count(), 4);
    QCOMPARE(spy.at(0), QVariantList({"a", "A", "http://a/"}));
    QCOMPARE(spy.at(1), QVariantList({"b", "B", QString()}));
    QCOMPARE(spy.at(2), QVariantList({"c", "C", QString()}));
    QCOMPARE(spy.at(3), QVariantList({QString(), "D", "http://d/"}));
    QVERIFY(LogCapture::lines().isEmpty());
}

void TestUdpClient::refreshWalksSnapshot()
{
    UdpClient c;
    c.jsonList << QJsonObject{{"ip", "a"}} << QJsonObject{{"ip", "b"}};
    QStringList seen;
    connect(&c, &UdpClient::sourceUpdated, &c, [&](const QString &id) {
        seen << id;
        if (id == "a") {
            // The bar is switched off, then a new source appears, mid-pass.
            c.jsonList.clear();
            c.jsonList << QJsonObject{{"ip", "z"}};
        }
    });
    c.onRefreshPreview();
    QCOMPARE(seen, QStringList({"a", "b"}));
    c.onRefreshPreview();
    QCOMPARE(seen, QStringList({"a", "b", "z"}));
}

void TestUdpClient::refreshSkipsNestedTicks()
{
    UdpClient c;
    c.jsonList << QJsonObject{{"ip", "a"}} << QJsonObject{{"ip", "b"}};
    int emissions = 0;
    connect(&c, &UdpClient::sourceUpdated, &c, [&] {
        ++emissions;
        c.onRefreshPreview(); // a tick that falls due while the pass waits
    });
    c.onRefreshPreview();
    QCOMPARE(emissions, 2);
    c.onRefreshPreview(); // the next tick after the pass runs normally
    QCOMPARE(emissions, 4);
}

void TestUdpClient::refreshTimer()
{
    UdpClient c;
    QSignalSpy spy(&c, &UdpClient::sourceUpdated);
    QVERIFY(!c.refreshTimer->isActive());
    QVERIFY(!c.refreshTimer->isSingleShot());
    QVERIFY(!c.refreshTimer->parent());
    c.stopRefreshPreview(); // stopping a stopped timer is harmless
    c.jsonList << QJsonObject{{"ip", "a"}};

    c.startRefreshPreview(5000);
    QVERIFY(c.refreshTimer->isActive());
    QCOMPARE(c.refreshTimer->interval(), 5000);
    QTest::qWait(600);
    c.startRefreshPreview(5000); // a restart pushes the next tick out again
    // Coarse timers may fire up to 5 % early; without the restart at most
    // 4400 ms would remain.
    QVERIFY2(c.refreshTimer->remainingTime() > 4700,
             qPrintable(QString::number(c.refreshTimer->remainingTime())));

    c.startRefreshPreview(40);
    QTRY_VERIFY(spy.count() >= 2);
    c.stopRefreshPreview();
    QVERIFY(!c.refreshTimer->isActive());
    const int count = spy.count();
    QTest::qWait(150);
    QCOMPARE(spy.count(), count);
}

void TestUdpClient::proxyInEnvironmentIsNotUsed()
{
    // With a SOCKS proxy in the environment, Qt's system proxy factory would
    // send datagrams through it (SOCKS 5 tunnels UDP). The link asks for no
    // proxy: discovery and the play command go straight out, the proxy is
    // never contacted, and no proxy lookup happens (under Qt 6: no libproxy
    // set-up and no "QLibProxyWrapper" thread).
    QTcpServer proxy;
    proxy.setProxy(QNetworkProxy::NoProxy);
    QVERIFY(proxy.listen(QHostAddress::LocalHost, 0));
    int offered = 0;
    connect(&proxy, &QTcpServer::newConnection, this, [&proxy, &offered] {
        while (QTcpSocket *socket = proxy.nextPendingConnection()) {
            ++offered;
            socket->deleteLater(); // never answers
        }
    });
    const QByteArray port = QByteArray::number(proxy.serverPort());
    const EnvironmentVariable http("http_proxy", "http://127.0.0.1:" + port),
        httpUpper("HTTP_PROXY", "http://127.0.0.1:" + port),
        all("all_proxy", "socks5://127.0.0.1:" + port),
        allUpper("ALL_PROXY", "socks5://127.0.0.1:" + port), noProxy("no_proxy", QByteArray()),
        noProxyUpper("NO_PROXY", QByteArray());

    FakeTransmitter tx;
    FakePlayer player;
    UdpClient c;
    QSignalSpy spy(&c, &UdpClient::sourceUpdated);
    c.discovery();
    QVERIFY(!tx.takeRequest().isEmpty());
    tx.answer(replyFrame(record("127.0.0.11", "Cam A", "618204-TX")));
    QTRY_COMPARE(spy.count(), 1);
    QVERIFY(c.playSource(QStringLiteral("127.0.0.11")));
    QVERIFY(!player.take().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!onDiscovery, 4000);
    QCOMPARE(offered, 0);
    VERIFY_NO_PROXY_LOOKUP();
}

QTEST_GUILESS_MAIN(TestUdpClient)
#include "tst_udpclient.moc"
