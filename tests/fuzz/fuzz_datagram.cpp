// A received datagram's whole path: unwrapping, JSON parsing, the reply checks,
// the record and the announcement. The client is never bound and sends nothing.
#include "fuzzaccess.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QUdpSocket>

#include <cstddef>
#include <cstdint>

namespace {

UdpClient *client = nullptr;
QUdpSocket *socket = nullptr;

struct Announced
{
    int count = 0;
    QString id, cName, url;
} announced;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    startQt<QCoreApplication>(argv);
    client = new UdpClient;
    socket = client->findChild<QUdpSocket *>();
    FUZZ_CHECK(socket);
    QObject::connect(client, &UdpClient::sourceUpdated,
                     [](const QString &id, const QString &cName, const QString &url) {
                         ++announced.count;
                         announced.id = id;
                         announced.cName = cName;
                         announced.url = url;
                     });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), int(size));
    announced = Announced();
    client->jsonList.clear();

    const bool recorded = client->handleDatagram(datagram);

    // A datagram becomes exactly one record and one announcement, or nothing at all.
    FUZZ_CHECK(recorded == (client->jsonList.size() == 1));
    FUZZ_CHECK(announced.count == (recorded ? 1 : 0));
    if (recorded) {
        const QJsonObject &record = client->jsonList.first();
        // Only accepted models are recorded, and the announcement tells the record's texts.
        FUZZ_CHECK(models().contains(record.value(QLatin1String("model")).toString()));
        FUZZ_CHECK(announced.id == record.value(QLatin1String("ip")).toString());
        FUZZ_CHECK(announced.cName == record.value(QLatin1String("cName")).toString());
        FUZZ_CHECK(announced.url == record.value(QLatin1String("JPEGurl_2")).toString());
    }
    // Handling a datagram never binds the socket, let alone sends.
    FUZZ_CHECK(socket->state() == QAbstractSocket::UnconnectedState);
    client->jsonList.clear();
    return 0;
}
