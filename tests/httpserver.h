#ifndef TESTS_HTTPSERVER_H
#define TESTS_HTTPSERVER_H

#include <QHash>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

// A small HTTP server for tests, in the test's own thread, in the manner of
// Qt's network autotests. Each path has its behaviour.
class HttpServer : public QTcpServer
{
public:
    enum Mode { Normal, Hang, Drip, Endless };
    struct Route
    {
        QByteArray head; // status line and headers, without the blank line
        QByteArray body;
        Mode mode = Normal;
        int delayMs = 0;
    };

    explicit HttpServer(const QHostAddress &address = QHostAddress::LocalHost)
    {
        // The tests' own server asks the system for no proxy (under Qt 6 that
        // would load libproxy into the test, which checks it is never loaded).
        setProxy(QNetworkProxy::NoProxy);
        listen(address, 0);
        connect(this, &QTcpServer::newConnection, this, &HttpServer::accept);
    }

    QString url(const QString &path) const
    {
        return QStringLiteral("http://%1:%2%3")
            .arg(serverAddress().toString())
            .arg(serverPort())
            .arg(path);
    }

    void route(const QByteArray &path, const QByteArray &contentType, const QByteArray &body,
               int status = 200)
    {
        Route r;
        r.head = "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Type: " + contentType +
                 "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close";
        r.body = body;
        routes[path] = r;
    }
    void route(const QByteArray &path, const Route &r) { routes[path] = r; }

    QStringList requests; // paths asked for, in order

private:
    void accept()
    {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
        }
    }

    void read(QTcpSocket *socket)
    {
        QByteArray &buffer = pending[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n"))
            return;
        const QByteArray path = buffer.split(' ').value(1);
        pending.remove(socket);
        requests << QString::fromLatin1(path);
        const Route r = routes.value(path, Route{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n"
                                                 "Connection: close",
                                                 QByteArray(), Normal, 0});
        QTimer::singleShot(r.delayMs, socket, [socket, r] { answer(socket, r); });
    }

    static void answer(QTcpSocket *socket, const Route &r)
    {
        switch (r.mode) {
        case Hang:
            return;
        case Normal:
            socket->write(r.head + "\r\n\r\n" + r.body);
            socket->disconnectFromHost();
            return;
        case Drip:
        case Endless: {
            socket->write(r.head + "\r\n\r\n");
            auto *timer = new QTimer(socket);
            const bool drip = r.mode == Drip;
            QObject::connect(timer, &QTimer::timeout, socket, [socket, drip] {
                if (socket->bytesToWrite() < 1 << 20)
                    socket->write(drip ? QByteArray(1, 'x') : QByteArray(256 * 1024, 'x'));
            });
            timer->start(drip ? 1000 : 1);
            return;
        }
        }
    }

    QHash<QTcpSocket *, QByteArray> pending;
    QHash<QByteArray, Route> routes;
};

#endif // TESTS_HTTPSERVER_H
