#include "udpclient.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QMetaObject>
#include <QNetworkProxy>
#include <QSet>
#include <QTimer>
#include <QUdpSocket>
#include <QVector>

#include <utility>

bool onDiscovery = false;

QString &strModel()
{
    static QString text = QStringLiteral("618204-TX, 618205-TX, 47130");
    return text;
}

QStringList &models()
{
    static QStringList list;
    return list;
}

const QString &strBroadcast()
{
    static const QString text =
        QStringLiteral("{\"targ\":\"\",\"cmd\":\"get_param\",\"login_ack\":\"\",\"pwd_msg\":\"\"}");
    return text;
}

const QByteArray &broadcast()
{
    static const QByteArray bytes = strBroadcast().toUtf8();
    return bytes;
}

namespace {

// The three texts a source is announced with; the url is empty unless the
// record names one.
struct Announcement
{
    QString id, cName, url;
};

Announcement announcementOf(const QJsonObject &record)
{
    return {record.value(QLatin1String("ip")).toString(),
            record.value(QLatin1String("cName")).toString(),
            record.contains(QLatin1String("JPEGurl_2"))
                ? record.value(QLatin1String("JPEGurl_2")).toString()
                : QString()};
}

// The key of an object as the parser will see it: escapes decoded.
QByteArray keyText(const QByteArray &raw)
{
    if (!raw.contains('\\'))
        return raw;
    // A one-string array holds no object, so parsing it is safe. A key that
    // does not decode stays apart from every other: the parser rejects it.
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson("[\"" + raw + "\"]", &err);
    if (err.error != QJsonParseError::NoError)
        return '\0' + raw;
    return doc.array().at(0).toString().toUtf8();
}

// Whether some object of a JSON text repeats a key. Qt 5's parser leaks the
// earlier value when a repeated key replaces an array or object, so a peer
// could make the receiver grow without bound. Qt 6's (6.4) does not leak, but
// such replies are dropped under both majors all the same. This only follows
// the nesting and the keys; the parser still judges everything else.
bool hasRepeatedKeys(const QByteArray &json)
{
    struct Level
    {
        bool object;
        bool expectKey;
        QSet<QByteArray> keys;
    };
    QVector<Level> levels;
    const char *p = json.constData();
    const char *const end = p + json.size();
    while (p < end) {
        const char c = *p++;
        if (c == '{') {
            levels.append({true, true, {}});
        } else if (c == '[') {
            levels.append({false, false, {}});
        } else if (c == '}' || c == ']') {
            if (!levels.isEmpty())
                levels.removeLast();
        } else if (c == ',') {
            if (!levels.isEmpty() && levels.last().object)
                levels.last().expectKey = true;
        } else if (c == '"') {
            const char *start = p;
            while (p < end && *p != '"')
                p += (*p == '\\' && p + 1 < end) ? 2 : 1;
            const QByteArray raw(start, int(p - start));
            if (p < end)
                ++p; // the closing quote
            if (!levels.isEmpty() && levels.last().expectKey) {
                levels.last().expectKey = false;
                const QByteArray key = keyText(raw);
                if (levels.last().keys.contains(key))
                    return true;
                levels.last().keys.insert(key);
            }
        }
    }
    return false;
}

} // namespace

UdpClient::UdpClient(QObject *parent) : QObject(parent)
{
    // White space is what QRegExp's \s matched: QChar::isSpace(), the same
    // under both majors with no regular expression (and no Core5Compat).
    QString stripped;
    stripped.reserve(strModel().size());
    for (const QChar c : std::as_const(strModel())) {
        if (!c.isSpace())
            stripped += c;
    }
    strModel() = stripped;
    models() = strModel().split(QLatin1Char(','), Qt::SkipEmptyParts);

    // Not bound here: this object exists before the application object, and a
    // socket bound that early never reports readyRead(). The first send binds it.
    udpSocket = new QUdpSocket(this);
    // Datagrams go straight to the LAN and to the player: with a proxy of its
    // own, the socket's bind asks no proxy factory (under Qt 6, libproxy).
    udpSocket->setProxy(QNetworkProxy::NoProxy);

    refreshTimer = new QTimer;
    connect(refreshTimer, SIGNAL(timeout()), this, SLOT(onRefreshPreview()));
}

UdpClient::~UdpClient()
{
    jsonList.clear();
    delete refreshTimer;
    refreshTimer = nullptr;
    delete udpSocket;
    udpSocket = nullptr;
}

unsigned int UdpClient::crc32b(const QByteArray &message)
{
    // Bitwise CRC-32 (zlib's); it stops at the first zero byte of the message.
    unsigned int crc = 0xFFFFFFFFu;
    const char *data = message.constData();
    for (int i = 0; i < message.size() && data[i] != '\0'; ++i) {
        crc ^= static_cast<unsigned char>(data[i]);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

int UdpClient::buildMessage(QByteArray &reply, const QByteArray &message)
{
    const int n = message.size();
    reply.resize(n + 8);
    char *out = reply.data();
    out[0] = char(0xFA);
    out[1] = char(0xA0);
    out[2] = char(((n + 4) >> 8) & 0xFF);
    out[3] = char((n + 4) & 0xFF);
    const unsigned int crc = crc32b(message);
    std::copy(message.constBegin(), message.constEnd(), out + 4);
    out[n + 4] = char((crc >> 24) & 0xFF);
    out[n + 5] = char((crc >> 16) & 0xFF);
    out[n + 6] = char((crc >> 8) & 0xFF);
    out[n + 7] = char(crc & 0xFF);
    return reply.size();
}

void UdpClient::parseMsg(QByteArray &message)
{
    if (message.size() < 2 || static_cast<unsigned char>(message.at(0)) != 0xFB ||
        static_cast<unsigned char>(message.at(1)) != 0xA0)
        return;
    // The datagram boundary, not the length field, delimits the payload. Both
    // calls stop at the buffer's edge, so a runt frame simply ends up empty.
    message.remove(0, 4);
    message.chop(4);
}

void UdpClient::writeData(const QByteArray &message, QHostAddress addr, quint16 port, bool wReply)
{
    QByteArray frame;
    buildMessage(frame, message);

    connect(udpSocket, SIGNAL(readyRead()), this, SLOT(readReady()));
    // A datagram that arrived while the reader was disconnected holds back every
    // later readyRead() until something reads it: let the reader run once.
    if (udpSocket->state() == QAbstractSocket::BoundState && udpSocket->hasPendingDatagrams())
        QMetaObject::invokeMethod(this, "readReady", Qt::QueuedConnection);

    udpSocket->writeDatagram(frame, addr, port);

    if (wReply) {
        onDiscovery = true;
        QTimer::singleShot(discoveryWindowMs, this, SLOT(onTimeOut()));
    }
}

void UdpClient::discovery()
{
    if (onDiscovery)
        return;
    jsonList.clear();
    writeData(broadcast(), QHostAddress::Broadcast, discoveryPort, true);
}

void UdpClient::readReady()
{
    while (udpSocket->hasPendingDatagrams()) {
        QByteArray datagram;
        datagram.resize(int(qMax<qint64>(0, udpSocket->pendingDatagramSize())));
        QHostAddress sender;
        quint16 senderPort = 0;
        if (udpSocket->readDatagram(datagram.data(), datagram.size(), &sender, &senderPort) < 0)
            break;
        handleDatagram(datagram);
    }
}

bool UdpClient::handleDatagram(QByteArray datagram)
{
    parseMsg(datagram);
    if (hasRepeatedKeys(datagram))
        return false;

    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(datagram, &err);
    if (err.error != QJsonParseError::NoError) {
        qDebug() << err.errorString();
        return false;
    }
    if (doc.isNull() || doc.isEmpty() || !doc.isObject())
        return false;
    const QJsonValue data = doc.object().value(QLatin1String("data"));
    if (!data.isArray())
        return false;
    const QJsonValue first = data.toArray().at(0);
    if (!first.isObject())
        return false;
    const QJsonObject record = first.toObject();
    if (!record.contains(QLatin1String("model")) ||
        !models().contains(record.value(QLatin1String("model")).toString()))
        return false;

    const Announcement a = announcementOf(record);
    qDebug() << "\nfind new TX " << a.cName << "[" << a.id << "]";
    jsonList.append(record);
    emit sourceUpdated(a.id, a.cName, a.url);
    return true;
}

void UdpClient::onTimeOut()
{
    qDebug() << "discovery completed\n\n";
    onDiscovery = false;
    disconnect(udpSocket, SIGNAL(readyRead()), this, SLOT(readReady()));
}

bool UdpClient::playSource(QString id)
{
    qDebug() << "play source: " << id;
    for (const QJsonObject &record : std::as_const(jsonList)) {
        if (!record.contains(QLatin1String("ip")) ||
            record.value(QLatin1String("ip")).toString() != id)
            continue;
        if (!record.contains(QLatin1String("isTS_1")) ||
            record.value(QLatin1String("isTS_1")).toString() != QLatin1String("1"))
            continue;
        if (!record.contains(QLatin1String("TSurl_1")))
            continue;

        QJsonObject objInstance;
        objInstance.insert(QStringLiteral("player_num"), QStringLiteral("1"));
        objInstance.insert(QStringLiteral("src_onplaying"), record.value(QLatin1String("TSurl_1")));
        objInstance.insert(QStringLiteral("playlist"), QJsonArray());
        QJsonArray objPlayers;
        objPlayers.append(objInstance);
        QJsonObject objPlayer;
        objPlayer.insert(QStringLiteral("player"), objPlayers);
        QJsonArray objData;
        objData.append(objPlayer);
        QJsonObject obj;
        obj.insert(QStringLiteral("targ"), QString());
        obj.insert(QStringLiteral("cmd"), QStringLiteral("set_param_player"));
        obj.insert(QStringLiteral("login_ack"), QString());
        obj.insert(QStringLiteral("pwd_msg"), QString());
        obj.insert(QStringLiteral("data"), objData);

        // The writer's own key order and indentation, collapsed to single spaces.
        const QByteArray text = QJsonDocument(obj).toJson().simplified();
        writeData(text, QHostAddress::LocalHost, playerPort, false);
        return true;
    }
    return false;
}

void UdpClient::startRefreshPreview(int ms)
{
    if (refreshTimer)
        refreshTimer->start(ms);
}

void UdpClient::stopRefreshPreview()
{
    if (refreshTimer)
        refreshTimer->stop();
}

void UdpClient::onRefreshPreview()
{
    // Each announcement waits for its fetch in a nested event loop, where this
    // timer keeps firing: ticks that fall due meanwhile are skipped, not stacked.
    if (jsonList.isEmpty() || refreshing)
        return;
    refreshing = true;
    const QList<QJsonObject> snapshot = jsonList;
    for (const QJsonObject &record : snapshot) {
        const Announcement a = announcementOf(record);
        emit sourceUpdated(a.id, a.cName, a.url);
    }
    refreshing = false;
}
