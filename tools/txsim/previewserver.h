#ifndef TXSIM_PREVIEWSERVER_H
#define TXSIM_PREVIEWSERVER_H

#include "transmitter.h"

#include <QElapsedTimer>
#include <QObject>

class QTcpServer;
class QTcpSocket;
class QTimer;
class TestCard;

// A transmitter's HTTP preview server on its own address: one request per
// connection, closed after the response.
class PreviewServer : public QObject
{
    Q_OBJECT
public:
    PreviewServer(const Transmitter &t, TestCard *card, QObject *parent = nullptr);
    bool start();
    // Stops listening: new fetches are refused until start() again.
    void stop();

private:
    void accept();

    Transmitter m_t;
    TestCard *m_card;
    QTcpServer *m_server;
    bool m_stopped = false;
};

// One client connection; deletes itself when the connection ends.
class PreviewConnection : public QObject
{
    Q_OBJECT
public:
    PreviewConnection(QTcpSocket *socket, const Transmitter &t, TestCard *card,
                      QObject *parent = nullptr);

private:
    void readRequest();
    void answer(const QByteArray &method, const QByteArray &path);
    void sendAndClose(const QByteArray &status, const QByteArray &contentType,
                      const QByteArray &body, const QByteArray &extraHeaders = {});
    void feedEndless();
    void dripOne();
    void finish();
    QString where() const;

    QTcpSocket *m_socket;
    Transmitter m_t;
    TestCard *m_card;
    QTimer *m_timer;
    QElapsedTimer m_age;
    QString m_peer;
    QByteArray m_request;
    QByteArray m_pending; // drip: bytes still to send; endless: the repeating body
    qint64 m_sent = 0;
    QString m_lingering; // set for answers that run until the peer gives up
    bool m_answered = false;
    bool m_headOnly = false;
};

#endif // TXSIM_PREVIEWSERVER_H
