#include "frame.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <zlib.h>

namespace toolframe {

quint32 payloadCrc(const QByteArray &payload)
{
    int n = payload.indexOf('\0');
    if (n < 0)
        n = payload.size();
    const auto *bytes = reinterpret_cast<const Bytef *>(payload.constData());
    return static_cast<quint32>(crc32(crc32(0L, Z_NULL, 0), bytes, static_cast<uInt>(n)));
}

static void appendBigEndian(QByteArray &out, quint32 value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.append(static_cast<char>((value >> shift) & 0xFF));
}

static quint32 readBigEndian(const QByteArray &in, int at, int bytes)
{
    quint32 value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | static_cast<quint8>(in.at(at + i));
    return value;
}

QByteArray buildFrame(quint8 marker, const QByteArray &payload)
{
    if (payload.size() > maxPayload)
        return {};
    QByteArray out;
    out.reserve(payload.size() + overhead);
    out.append(static_cast<char>(marker));
    out.append(static_cast<char>(frameType));
    appendBigEndian(out, static_cast<quint32>(payload.size() + 4), 2);
    out.append(payload);
    appendBigEndian(out, payloadCrc(payload), 4);
    return out;
}

static QString hexByte(quint8 b)
{
    return QStringLiteral("0x%1").arg(b, 2, 16, QLatin1Char('0'));
}

Unwrapped unwrapFrame(const QByteArray &datagram, quint8 expectedMarker)
{
    Unwrapped r;
    const int size = datagram.size();
    if (size < overhead) {
        r.reason = QStringLiteral("too short");
        return r;
    }
    const auto marker = static_cast<quint8>(datagram.at(0));
    if (marker != expectedMarker) {
        r.reason =
            QStringLiteral("marker %1, expected %2").arg(hexByte(marker), hexByte(expectedMarker));
        return r;
    }
    const auto type = static_cast<quint8>(datagram.at(1));
    if (type != frameType) {
        r.reason =
            QStringLiteral("type byte %1, expected %2").arg(hexByte(type), hexByte(frameType));
        return r;
    }
    const quint32 length = readBigEndian(datagram, 2, 2);
    if (length != static_cast<quint32>(size - 4)) {
        r.reason = QStringLiteral("length field %1, datagram needs %2").arg(length).arg(size - 4);
        return r;
    }
    const QByteArray payload = datagram.mid(4, size - overhead);
    const quint32 sent = readBigEndian(datagram, size - 4, 4);
    const quint32 computed = payloadCrc(payload);
    if (sent != computed) {
        r.reason = QStringLiteral("crc 0x%1, computed 0x%2")
                       .arg(sent, 8, 16, QLatin1Char('0'))
                       .arg(computed, 8, 16, QLatin1Char('0'));
        return r;
    }
    r.ok = true;
    r.payload = payload;
    return r;
}

ParsedJson parseObject(const QByteArray &payload)
{
    ParsedJson r;
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &err);
    if (err.error != QJsonParseError::NoError) {
        r.error = QStringLiteral("%1 at offset %2").arg(err.errorString()).arg(err.offset);
        return r;
    }
    if (!doc.isObject()) {
        r.error = QStringLiteral("not a JSON object");
        return r;
    }
    r.ok = true;
    r.object = doc.object();
    return r;
}

QByteArray discoveryPayload()
{
    return QByteArrayLiteral(R"({"targ":"","cmd":"get_param","login_ack":"","pwd_msg":""})");
}

QByteArray playPayload(const QString &url)
{
    return QByteArrayLiteral(R"({ "cmd": "set_param_player", "data": [ { "player": [ { )"
                             R"("player_num": "1", "playlist": [ ], "src_onplaying": ")") +
           url.toUtf8() +
           QByteArrayLiteral(R"(" } ] } ], "login_ack": "", "pwd_msg": "", "targ": "" })");
}

} // namespace toolframe
