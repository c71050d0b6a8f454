#ifndef BENCHNET_H
#define BENCHNET_H

// Shared by the benchmark programs that fetch: polling the event loop, and one
// fetch done the way the program does it.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QUrl>

#include <functional>

namespace bench {

// Runs the event loop until done() holds, for at most ms milliseconds.
inline bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(500);
    }
    return true;
}

// One GET as the mandated fetch does it: a fresh access manager and a wait in
// a local event loop.
inline QByteArray qtFetch(const QString &url)
{
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (reply->isRunning())
        loop.exec();
    const QByteArray body = reply->readAll();
    delete reply;
    return body;
}

} // namespace bench

#endif // BENCHNET_H
