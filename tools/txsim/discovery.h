#ifndef TXSIM_DISCOVERY_H
#define TXSIM_DISCOVERY_H

#include "transmitter.h"

#include <QHostAddress>
#include <QList>
#include <QObject>

class QUdpSocket;

// Answers discovery requests on UDP 3600 on behalf of every simulated transmitter.
class Discovery : public QObject
{
    Q_OBJECT
public:
    Discovery(const QList<Transmitter> &transmitters, int replyDelayMs, bool garbage,
              QObject *parent = nullptr);

    // Binds the listener and one reply socket per transmitter; false when the
    // listener cannot be bound (a reply socket falls back to the listener).
    bool start(quint16 port);

private:
    void readPending();
    void reply(int which, const QHostAddress &to, quint16 port);

    QList<Transmitter> m_transmitters;
    QList<QUdpSocket *> m_senders; // parallel to m_transmitters
    QUdpSocket *m_listener = nullptr;
    int m_replyDelayMs = 0;
    bool m_garbage = false;
};

#endif // TXSIM_DISCOVERY_H
