#ifndef TOOLS_COMMON_FRAME_H
#define TOOLS_COMMON_FRAME_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Datagram framing shared by the developer tools. Kept apart from the program's
// own link code on purpose: the tools must be able to catch its mistakes.
//
// byte 0      marker (requestMarker from the receiver, replyMarker from transmitters)
// byte 1      frameType
// bytes 2-3   big-endian payload length + 4
// payload     JSON text
// last 4      big-endian CRC-32 of the payload, stopping at its first zero byte
namespace toolframe {

constexpr quint8 requestMarker = 0xFA;
constexpr quint8 replyMarker = 0xFB;
constexpr quint8 frameType = 0xA0;
constexpr int overhead = 8;            // header + CRC
constexpr int maxPayload = 0xFFFF - 4; // what the length field can express
constexpr quint16 discoveryPort = 3600;
constexpr quint16 playerPort = 3601;

// zlib CRC-32 over the payload up to (not including) its first zero byte.
quint32 payloadCrc(const QByteArray &payload);

// Wraps payload in a frame with the given marker. Payloads longer than
// maxPayload cannot be framed and give an empty array.
QByteArray buildFrame(quint8 marker, const QByteArray &payload);

struct Unwrapped
{
    bool ok = false;
    QString reason; // why the frame was refused, empty when ok
    QByteArray payload;
};

// Checks marker, type byte, length field and CRC; on success hands back the payload.
Unwrapped unwrapFrame(const QByteArray &datagram, quint8 expectedMarker);

struct ParsedJson
{
    bool ok = false;
    QString error;
    QJsonObject object;
};

// The payload must be one JSON object.
ParsedJson parseObject(const QByteArray &payload);

// The discovery request as the receiver sends it.
QByteArray discoveryPayload();

// The play command as the receiver sends it for url.
QByteArray playPayload(const QString &url);

} // namespace toolframe

#endif // TOOLS_COMMON_FRAME_H
