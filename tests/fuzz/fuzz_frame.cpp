// The frame builder against the unwrapper: what is built unwraps to the same
// payload, with the header and CRC checked against zlib; arbitrary datagrams
// unwrap to their middle or stay untouched.
#include "fuzzaccess.h"

#include <QCoreApplication>

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {
UdpClient *client = nullptr;

quint32 be32(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return quint32(u[0]) << 24 | quint32(u[1]) << 16 | quint32(u[2]) << 8 | quint32(u[3]);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    startQt<QCoreApplication>(argv);
    client = new UdpClient;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message(reinterpret_cast<const char *>(data), int(size));
    const int n = message.size();

    // Built with stale content in the output array: it must be replaced, not appended to.
    QByteArray frame(int(size % 13), 'x');
    const int built = FuzzAccess::buildMessage(*client, frame, message);
    FUZZ_CHECK(built == n + 8 && frame.size() == n + 8);
    FUZZ_CHECK(quint8(frame.at(0)) == 0xFA && quint8(frame.at(1)) == 0xA0);
    if (n + 4 <= 0xFFFF)
        FUZZ_CHECK((quint8(frame.at(2)) << 8 | quint8(frame.at(3))) == n + 4);
    FUZZ_CHECK(std::memcmp(frame.constData() + 4, message.constData(), size_t(n)) == 0);
    // The CRC covers the payload up to its first zero byte.
    const int crcLen = message.indexOf('\0') < 0 ? n : message.indexOf('\0');
    const quint32 expected =
        quint32(crc32(0L, reinterpret_cast<const Bytef *>(message.constData()), uInt(crcLen)));
    FUZZ_CHECK(be32(frame.constData() + 4 + n) == expected);

    // The same frame as a transmitter sends it unwraps to the payload again.
    QByteArray received = frame;
    received[0] = char(0xFB);
    FuzzAccess::parseMsg(*client, received);
    FUZZ_CHECK(received == message);

    // An arbitrary datagram: a reply frame loses header and CRC (a runt ends up
    // empty); anything else is left as it is.
    QByteArray raw = message;
    FuzzAccess::parseMsg(*client, raw);
    if (n >= 2 && quint8(message.at(0)) == 0xFB && quint8(message.at(1)) == 0xA0)
        FUZZ_CHECK(raw == (n > 8 ? message.mid(4, n - 8) : QByteArray()));
    else
        FUZZ_CHECK(raw == message);
    return 0;
}
