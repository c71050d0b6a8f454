#include "previewserver.h"

#include "logline.h"
#include "testcard.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr int maxRequestBytes = 16 * 1024;
constexpr int requestTimeoutMs = 10000;
constexpr qint64 endlessChunk = 64 * 1024;
constexpr int hugeSide = 16000;
} // namespace

PreviewServer::PreviewServer(const Transmitter &t, TestCard *card, QObject *parent)
    : QObject(parent), m_t(t), m_card(card), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &PreviewServer::accept);
}

bool PreviewServer::start()
{
    if (!m_server->listen(QHostAddress(m_t.ip), m_t.httpPort)) {
        logLine(QStringLiteral("txsim: cannot listen on %1:%2: %3")
                    .arg(m_t.ip)
                    .arg(m_t.httpPort)
                    .arg(m_server->errorString()));
        return false;
    }
    if (m_stopped)
        logLine(QStringLiteral("txsim: transmitter %1 preview server back").arg(m_t.index));
    m_stopped = false;
    return true;
}

void PreviewServer::stop()
{
    m_server->close();
    m_stopped = true;
    logLine(QStringLiteral("txsim: transmitter %1 preview server stopped").arg(m_t.index));
}

void PreviewServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection())
        new PreviewConnection(socket, m_t, m_card, this);
}

PreviewConnection::PreviewConnection(QTcpSocket *socket, const Transmitter &t, TestCard *card,
                                     QObject *parent)
    : QObject(parent), m_socket(socket), m_t(t), m_card(card), m_timer(new QTimer(this))
{
    m_age.start();
    // Kept now: the socket forgets its peer once disconnected.
    m_peer = socket->peerAddress().toString();
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &PreviewConnection::readRequest);
    connect(socket, &QTcpSocket::disconnected, this, &PreviewConnection::finish);
    // A client that never completes its request is dropped.
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this]() {
        logLine(QStringLiteral("txsim: no complete request %1 within %2 ms, closing")
                    .arg(where())
                    .arg(requestTimeoutMs));
        m_socket->abort();
        finish();
    });
    m_timer->start(requestTimeoutMs);
    readRequest();
}

QString PreviewConnection::where() const
{
    return QStringLiteral("from %1 -> %2").arg(m_peer, m_t.ip);
}

void PreviewConnection::readRequest()
{
    if (m_answered) {
        m_socket->readAll(); // a hanging server still drains what it is sent
        return;
    }
    m_request += m_socket->readAll();
    int end = m_request.indexOf("\r\n\r\n");
    if (end < 0)
        end = m_request.indexOf("\n\n");
    if (end < 0) {
        if (m_request.size() > maxRequestBytes) {
            m_timer->stop();
            m_answered = true;
            logLine(QStringLiteral("txsim: bad request %1: header over %2 bytes")
                        .arg(where())
                        .arg(maxRequestBytes));
            sendAndClose("400 Bad Request", "text/plain", "request too large\n");
        }
        return;
    }
    m_timer->stop();
    m_answered = true;
    const QByteArray line = m_request.left(m_request.indexOf('\n')).trimmed();
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !parts.at(2).startsWith("HTTP/")) {
        logLine(QStringLiteral("txsim: bad request %1: \"%2\"")
                    .arg(where(), QString::fromLatin1(line.left(200))));
        sendAndClose("400 Bad Request", "text/plain", "bad request\n");
        return;
    }
    QByteArray path = parts.at(1);
    const int query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    answer(parts.at(0), path);
}

void PreviewConnection::answer(const QByteArray &method, const QByteArray &path)
{
    const QString request =
        QStringLiteral("txsim: %1 %2 %3")
            .arg(QString::fromLatin1(method), QString::fromLatin1(path), where());
    m_headOnly = method == "HEAD";
    if (method != "GET" && !m_headOnly) {
        logLine(request + QStringLiteral(" 405"));
        sendAndClose("405 Method Not Allowed", "text/plain", "only GET\n", "Allow: GET, HEAD\r\n");
        return;
    }

    const bool redirected = m_t.preview == PreviewFault::Redirect && path == "/redirected.jpg";
    const PreviewFault fault = redirected ? PreviewFault::None : m_t.preview;
    const bool cardPath = path == "/snap.jpg" || redirected;

    switch (fault) {
    case PreviewFault::None: {
        if (!cardPath) {
            logLine(request + QStringLiteral(" 404"));
            sendAndClose("404 Not Found", "text/plain", "not found\n");
            return;
        }
        const QByteArray jpeg = m_card->jpeg(m_t);
        if (jpeg.isEmpty()) {
            logLine(request + QStringLiteral(" 500 (JPEG encoding failed)"));
            sendAndClose("500 Internal Server Error", "text/plain", "no JPEG encoder\n");
            return;
        }
        logLine(request + QStringLiteral(" 200 (%1 bytes)").arg(jpeg.size()));
        sendAndClose("200 OK", "image/jpeg", jpeg);
        return;
    }
    case PreviewFault::Hang:
        logLine(request + QStringLiteral(" hang (no answer)"));
        m_lingering = QStringLiteral("hang");
        return;
    case PreviewFault::Drip: {
        logLine(request + QStringLiteral(" drip (1 byte/s)"));
        m_lingering = QStringLiteral("drip");
        // No Content-Length: at a byte a second the body is as good as endless.
        m_pending = QByteArrayLiteral("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n"
                                      "Connection: close\r\n\r\n") +
                    m_card->jpeg(m_t);
        disconnect(m_timer, nullptr, this, nullptr);
        connect(m_timer, &QTimer::timeout, this, &PreviewConnection::dripOne);
        m_timer->setSingleShot(false);
        m_timer->start(1000);
        dripOne();
        return;
    }
    case PreviewFault::Status404:
        logLine(request + QStringLiteral(" 404"));
        sendAndClose("404 Not Found", "text/plain", "not found\n");
        return;
    case PreviewFault::Text: {
        const QByteArray page =
            QStringLiteral("<!DOCTYPE html>\n<html><head><title>%1</title></head>"
                           "<body><h1>%1</h1><p>Preview unavailable.</p>"
                           "</body></html>\n")
                .arg(m_t.name.toHtmlEscaped())
                .toUtf8();
        logLine(request + QStringLiteral(" 200 text/html (%1 bytes)").arg(page.size()));
        sendAndClose("200 OK", "text/html; charset=utf-8", page);
        return;
    }
    case PreviewFault::Redirect:
        logLine(request + QStringLiteral(" 301 -> %1").arg(m_t.redirectTo));
        sendAndClose("301 Moved Permanently", "text/plain", "moved\n",
                     "Location: " + m_t.redirectTo.toUtf8() + "\r\n");
        return;
    case PreviewFault::Endless: {
        logLine(request + QStringLiteral(" 200 endless"));
        m_lingering = QStringLiteral("endless");
        m_pending = m_card->jpeg(m_t);
        if (m_pending.isEmpty())
            m_pending = QByteArray(4096, '\xAA');
        m_socket->write("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nConnection: close\r\n\r\n");
        if (m_headOnly) {
            m_socket->disconnectFromHost();
            return;
        }
        connect(m_socket, &QTcpSocket::bytesWritten, this, &PreviewConnection::feedEndless);
        feedEndless();
        return;
    }
    case PreviewFault::Huge: {
        const QByteArray jpeg = TestCard::declaringSize(hugeSide, hugeSide);
        logLine(request +
                QStringLiteral(" 200 (%1 bytes, declares %2x%2)").arg(jpeg.size()).arg(hugeSide));
        sendAndClose("200 OK", "image/jpeg", jpeg);
        return;
    }
    }
}

void PreviewConnection::sendAndClose(const QByteArray &status, const QByteArray &contentType,
                                     const QByteArray &body, const QByteArray &extraHeaders)
{
    QByteArray response = "HTTP/1.0 " + status + "\r\nContent-Type: " + contentType +
                          "\r\nContent-Length: " + QByteArray::number(body.size()) +
                          "\r\nCache-Control: no-cache\r\nConnection: close\r\n" + extraHeaders +
                          "\r\n";
    if (!m_headOnly)
        response += body;
    m_socket->write(response);
    m_socket->disconnectFromHost(); // waits for the write buffer to drain
}

void PreviewConnection::feedEndless()
{
    // Keep a bounded amount queued so a slow reader does not grow our memory.
    while (m_socket->state() == QAbstractSocket::ConnectedState &&
           m_socket->bytesToWrite() < 4 * endlessChunk) {
        const qint64 offset = m_sent % m_pending.size();
        const qint64 n = qMin<qint64>(endlessChunk, m_pending.size() - offset);
        m_socket->write(m_pending.constData() + offset, n);
        m_sent += n;
    }
}

void PreviewConnection::dripOne()
{
    if (m_pending.isEmpty() || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    const qint64 at = m_sent % m_pending.size();
    m_socket->write(m_pending.constData() + at, 1);
    ++m_sent;
}

void PreviewConnection::finish()
{
    if (!m_lingering.isEmpty()) {
        logLine(QStringLiteral("txsim: closed %1 %2 after %3 ms (%4 bytes sent)")
                    .arg(where(), m_lingering)
                    .arg(m_age.elapsed())
                    .arg(m_sent));
        m_lingering.clear();
    }
    m_timer->stop();
    deleteLater();
}
