// The tools' datagram framing, checked against hand-made bytes and zlib's CRC-32.

#include "frame.h"

#include <QtTest>

#include <zlib.h>

class TestToolFrame : public QObject
{
    Q_OBJECT

private slots:
    void crcIsZlibCrc32();
    void crcStopsAtFirstZeroByte();
    void buildLaysOutHeaderPayloadAndCrc();
    void discoveryRequestIsSixtyFiveBytes();
    void roundTrip_data();
    void roundTrip();
    void refuses_data();
    void refuses();
    void wrongMarkerForDirection();
    void oversizedPayloadIsNotFramed();
    void playPayloadText();
    void parseObjectRejectsNonObjects();
};

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

void TestToolFrame::crcIsZlibCrc32()
{
    // The standard CRC-32 check value.
    QCOMPARE(toolframe::payloadCrc("123456789"), 0xCBF43926u);
    const QByteArray payload = toolframe::discoveryPayload();
    const auto viaZlib =
        static_cast<quint32>(crc32(0L, reinterpret_cast<const Bytef *>(payload.constData()),
                                   static_cast<uInt>(payload.size())));
    QCOMPARE(toolframe::payloadCrc(payload), viaZlib);
    QCOMPARE(toolframe::payloadCrc(QByteArray()), 0u);
}

void TestToolFrame::crcStopsAtFirstZeroByte()
{
    QByteArray withZero("123456789");
    withZero.append('\0');
    withZero.append("tail that must not count");
    QCOMPARE(toolframe::payloadCrc(withZero), 0xCBF43926u);
}

void TestToolFrame::buildLaysOutHeaderPayloadAndCrc()
{
    const QByteArray frame = toolframe::buildFrame(toolframe::replyMarker, "123456789");
    QCOMPARE(frame, hex("fba0000d") + QByteArray("123456789") + hex("cbf43926"));
}

void TestToolFrame::discoveryRequestIsSixtyFiveBytes()
{
    const QByteArray frame =
        toolframe::buildFrame(toolframe::requestMarker, toolframe::discoveryPayload());
    QCOMPARE(frame.size(), 65);
    QCOMPARE(frame.left(4), hex("faa0003d"));
    QCOMPARE(frame.mid(4, 57),
             QByteArray(R"({"targ":"","cmd":"get_param","login_ack":"","pwd_msg":""})"));
}

void TestToolFrame::roundTrip_data()
{
    QTest::addColumn<int>("marker");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("request") << int(toolframe::requestMarker) << toolframe::discoveryPayload();
    QTest::newRow("reply") << int(toolframe::replyMarker)
                           << QByteArray(R"({"data":[{"ip":"127.0.0.11"}]})");
    QTest::newRow("empty") << int(toolframe::requestMarker) << QByteArray();
    QTest::newRow("utf8") << int(toolframe::replyMarker)
                          << QStringLiteral("{\"cName\":\"Caméra ☀\"}").toUtf8();
    QTest::newRow("largest") << int(toolframe::replyMarker)
                             << QByteArray(toolframe::maxPayload, 'x');
}

void TestToolFrame::roundTrip()
{
    QFETCH(int, marker);
    QFETCH(QByteArray, payload);
    const QByteArray frame = toolframe::buildFrame(static_cast<quint8>(marker), payload);
    QCOMPARE(frame.size(), payload.size() + 8);
    const toolframe::Unwrapped u = toolframe::unwrapFrame(frame, static_cast<quint8>(marker));
    QVERIFY2(u.ok, qPrintable(u.reason));
    QVERIFY(u.reason.isEmpty());
    QCOMPARE(u.payload, payload);
}

void TestToolFrame::refuses_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("reason");
    const QByteArray good = toolframe::buildFrame(toolframe::requestMarker, "123456789");

    QTest::newRow("empty") << QByteArray() << "too short";
    QTest::newRow("seven bytes") << good.left(7) << "too short";
    QTest::newRow("bare json") << toolframe::discoveryPayload() << "marker 0x7b, expected 0xfa";

    QByteArray marker = good;
    marker[0] = char(0xFC);
    QTest::newRow("marker") << marker << "marker 0xfc, expected 0xfa";

    QByteArray type = good;
    type[1] = char(0xA1);
    QTest::newRow("type byte") << type << "type byte 0xa1, expected 0xa0";

    QByteArray longer = good;
    longer[3] = char(0x0E);
    QTest::newRow("length too big") << longer << "length field 14, datagram needs 13";

    QByteArray shorter = good;
    shorter[3] = char(0x0C);
    QTest::newRow("length too small") << shorter << "length field 12, datagram needs 13";

    QTest::newRow("truncated") << good.left(good.size() - 1)
                               << "length field 13, datagram needs 12";
    QTest::newRow("trailing byte") << good + 'x' << "length field 13, datagram needs 14";

    QByteArray crc = good;
    crc[crc.size() - 1] = char(0x27);
    QTest::newRow("crc") << crc << "crc 0xcbf43927, computed 0xcbf43926";

    QByteArray payload = good;
    payload[5] = '9';
    QTest::newRow("payload changed")
        << payload
        << QStringLiteral("crc 0xcbf43926, computed 0x%1")
               .arg(toolframe::payloadCrc("193456789"), 8, 16, QLatin1Char('0'));
}

void TestToolFrame::refuses()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, reason);
    const toolframe::Unwrapped u = toolframe::unwrapFrame(datagram, toolframe::requestMarker);
    QVERIFY(!u.ok);
    QCOMPARE(u.reason, reason);
    QVERIFY(u.payload.isEmpty());
}

void TestToolFrame::wrongMarkerForDirection()
{
    const QByteArray reply = toolframe::buildFrame(toolframe::replyMarker, "{}");
    QVERIFY(toolframe::unwrapFrame(reply, toolframe::replyMarker).ok);
    const toolframe::Unwrapped u = toolframe::unwrapFrame(reply, toolframe::requestMarker);
    QVERIFY(!u.ok);
    QCOMPARE(u.reason, QStringLiteral("marker 0xfb, expected 0xfa"));
}

void TestToolFrame::oversizedPayloadIsNotFramed()
{
    QVERIFY(
        toolframe::buildFrame(toolframe::replyMarker, QByteArray(toolframe::maxPayload + 1, 'x'))
            .isEmpty());
}

void TestToolFrame::playPayloadText()
{
    QCOMPARE(
        toolframe::playPayload(QStringLiteral("udp://239.255.0.11:5000")),
        QByteArray(R"({ "cmd": "set_param_player", "data": [ { "player": [ { "player_num": "1", )"
                   R"("playlist": [ ], "src_onplaying": "udp://239.255.0.11:5000" } ] } ], )"
                   R"("login_ack": "", "pwd_msg": "", "targ": "" })"));
    const toolframe::ParsedJson json =
        toolframe::parseObject(toolframe::playPayload(QStringLiteral("x")));
    QVERIFY2(json.ok, qPrintable(json.error));
}

void TestToolFrame::parseObjectRejectsNonObjects()
{
    QVERIFY(toolframe::parseObject(R"({"cmd":"get_param"})").ok);
    const toolframe::ParsedJson array = toolframe::parseObject("[1,2]");
    QVERIFY(!array.ok);
    QCOMPARE(array.error, QStringLiteral("not a JSON object"));
    const toolframe::ParsedJson broken = toolframe::parseObject(R"({"cmd":)");
    QVERIFY(!broken.ok);
    QVERIFY(broken.error.contains(QLatin1String("offset")));
}

QTEST_GUILESS_MAIN(TestToolFrame)
#include "tst_toolframe.moc"
