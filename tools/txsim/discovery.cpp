#include "discovery.h"

#include "frame.h"
#include "logline.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QTimer>
#include <QUdpSocket>

#include <utility>

Discovery::Discovery(const QList<Transmitter> &transmitters, int replyDelayMs, bool garbage,
                     QObject *parent)
    : QObject(parent), m_transmitters(transmitters), m_replyDelayMs(replyDelayMs),
      m_garbage(garbage)
{
}

bool Discovery::start(quint16 port)
{
    m_listener = new QUdpSocket(this);
    if (!m_listener->bind(QHostAddress::AnyIPv4, port,
                          QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        logLine(QStringLiteral("txsim: cannot bind 0.0.0.0:%1: %2")
                    .arg(port)
                    .arg(m_listener->errorString()));
        return false;
    }
    connect(m_listener, &QUdpSocket::readyRead, this, &Discovery::readPending);

    // Replies leave from the transmitter's own address, as a real one's would.
    for (const Transmitter &t : std::as_const(m_transmitters)) {
        auto *sender = new QUdpSocket(this);
        if (!sender->bind(QHostAddress(t.ip), 0)) {
            logLine(
                QStringLiteral("txsim: cannot bind %1 for replies (%2), replying from the listener")
                    .arg(t.ip, sender->errorString()));
            delete sender;
            sender = m_listener;
        } else {
            connect(sender, &QUdpSocket::readyRead, this, [sender, t]() {
                while (sender->hasPendingDatagrams()) {
                    const QNetworkDatagram d = sender->receiveDatagram();
                    logLine(QStringLiteral(
                                "txsim: ignored datagram to %1 reply port from %2:%3 (%4 bytes)")
                                .arg(t.ip, d.senderAddress().toString())
                                .arg(d.senderPort())
                                .arg(d.data().size()));
                }
            });
        }
        m_senders.append(sender);
    }
    logLine(QStringLiteral("txsim: listening for discovery on 0.0.0.0:%1").arg(port));
    return true;
}

void Discovery::readPending()
{
    while (m_listener->hasPendingDatagrams()) {
        const QNetworkDatagram d = m_listener->receiveDatagram();
        const QByteArray bytes = d.data();
        const QHostAddress from = d.senderAddress();
        const quint16 fromPort = static_cast<quint16>(d.senderPort());
        const QString who = QStringLiteral("%1:%2").arg(from.toString()).arg(fromPort);

        const toolframe::Unwrapped frame = toolframe::unwrapFrame(bytes, toolframe::requestMarker);
        if (!frame.ok) {
            logLine(QStringLiteral("txsim: bad datagram from %1 (%2 bytes): bad frame: %3")
                        .arg(who)
                        .arg(bytes.size())
                        .arg(frame.reason));
            continue;
        }
        const toolframe::ParsedJson json = toolframe::parseObject(frame.payload);
        if (!json.ok) {
            logLine(QStringLiteral("txsim: bad datagram from %1 (%2 bytes): bad json: %3")
                        .arg(who)
                        .arg(bytes.size())
                        .arg(json.error));
            continue;
        }
        const QString cmd = json.object.value(QLatin1String("cmd")).toString();
        if (cmd != QLatin1String("get_param")) {
            logLine(QStringLiteral(
                        "txsim: bad datagram from %1 (%2 bytes): cmd \"%3\" is not get_param")
                        .arg(who)
                        .arg(bytes.size())
                        .arg(cmd));
            continue;
        }
        logLine(QStringLiteral("txsim: discovery request from %1 (%2 bytes, frame ok)")
                    .arg(who)
                    .arg(bytes.size()));

        // A request sent straight to one transmitter's address is answered by it alone.
        const QHostAddress to = d.destinationAddress();
        QList<int> answering;
        for (int i = 0; i < m_transmitters.size(); ++i) {
            if (!to.isNull() && to == QHostAddress(m_transmitters.at(i).ip))
                answering = {i};
        }
        if (answering.isEmpty()) {
            for (int i = 0; i < m_transmitters.size(); ++i)
                answering.append(i);
        }
        for (int i : std::as_const(answering)) {
            if (m_replyDelayMs > 0)
                QTimer::singleShot(m_replyDelayMs, this,
                                   [this, i, from, fromPort]() { reply(i, from, fromPort); });
            else
                reply(i, from, fromPort);
        }
    }
}

void Discovery::reply(int which, const QHostAddress &to, quint16 port)
{
    const Transmitter &t = m_transmitters.at(which);
    QUdpSocket *sender = m_senders.at(which);
    const QString dest = QStringLiteral("%1:%2").arg(to.toString()).arg(port);
    const QByteArray payload = QJsonDocument(QJsonObject{
                                                 {QStringLiteral("data"), QJsonArray{t.record()}},
                                             })
                                   .toJson(QJsonDocument::Compact);
    const QByteArray frame = toolframe::buildFrame(toolframe::replyMarker, payload);

    if (m_garbage) {
        QByteArray noise(1 + static_cast<int>(QRandomGenerator::global()->bounded(64)), '\0');
        for (char &c : noise)
            c = static_cast<char>(QRandomGenerator::global()->bounded(256));
        noise[0] = static_cast<char>(0x5A); // never a plausible reply marker
        const QByteArray truncated = frame.left(frame.size() / 2);
        sender->writeDatagram(noise, to, port);
        sender->writeDatagram(truncated, to, port);
        logLine(
            QStringLiteral("txsim: garbage %1 -> %2 (%3 random bytes, truncated frame of %4 bytes)")
                .arg(t.ip, dest)
                .arg(noise.size())
                .arg(truncated.size()));
    }

    const int times = t.twice ? 2 : 1;
    for (int n = 0; n < times; ++n) {
        const QByteArray datagram = t.bare ? payload : frame;
        if (sender->writeDatagram(datagram, to, port) != datagram.size()) {
            logLine(QStringLiteral("txsim: reply %1 \"%2\" -> %3 failed: %4")
                        .arg(t.ip, t.name, dest, sender->errorString()));
            continue;
        }
        QString note;
        if (t.bare)
            note += QStringLiteral(" (bare, no frame)");
        if (n > 0)
            note += QStringLiteral(" (again)");
        logLine(QStringLiteral("txsim: reply %1 \"%2\" -> %3%4").arg(t.ip, t.name, dest, note));
    }
}
