#include "downloader.h"

#include <QBuffer>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
namespace {
// Qt 6's image readers refuse a picture over 128 MiB decoded, with a warning;
// Qt 5's have no such limit. The size guard in decode() stays the only limit,
// under both. Set during static initialisation, so that it holds for every
// decode, the static one included; the reader's limit is a constant-initialised
// plain integer, so the order of initialisation does not matter.
[[maybe_unused]] const bool noReaderAllocationLimit = (QImageReader::setAllocationLimit(0), true);
} // namespace
#endif

Downloader::Downloader(QObject *parent) : QObject(parent), m_isReady(true) {}

Downloader::~Downloader()
{
    delete m_file;
}

bool Downloader::fetch(const QString &url, QByteArray &body)
{
    const QUrl target(url);
    // A peer names this address: it must not make us read local files or
    // resources, so anything but the web schemes is refused untouched.
    const QString scheme = target.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return false;

    // A fresh manager per fetch: nothing carries over from one fetch to the next.
    QNetworkAccessManager manager;
    // Redirects are not followed: Qt 5's default, which Qt 6 changed.
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager.get(QNetworkRequest(target));

    bool abandoned = false;
    auto abandon = [&abandoned, reply] {
        abandoned = true;
        reply->abort();
    };
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // The transfer timeout of the request only bounds inactivity; a server that
    // drips a byte a second would hold the fetch for ever without this limit.
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, abandon);
    connect(reply, &QNetworkReply::downloadProgress, &loop,
            [abandon](qint64 received, qint64 total) {
                if (received > maxBodyBytes || total > maxBodyBytes)
                    abandon();
            });
    limit.start(fetchLimitMs);
    if (reply->isRunning())
        loop.exec();

    // The wait also ends early when the application quits under it: an
    // unfinished transfer is a failed one.
    const bool ok = !abandoned && reply->isFinished() && reply->error() == QNetworkReply::NoError;
    if (ok)
        body = reply->readAll();
    delete reply;
    return ok;
}

QPixmap Downloader::decode(const QByteArray &body)
{
    // The decoder has no size limit of its own; the header alone tells the
    // declared size cheaply, before a huge buffer would be allocated.
    QBuffer buffer;
    buffer.setData(body);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize declared = reader.size();
    if (declared.width() > maxPictureSide || declared.height() > maxPictureSide)
        return QPixmap();
    // A GIF is drawn on its logical screen (bytes 6-9, little-endian), which the
    // reader does not report: its size is that of the first frame only.
    if (reader.format() == "gif" && body.size() >= 10) {
        const auto le16 = [&body](int i) {
            return int(quint8(body.at(i))) | int(quint8(body.at(i + 1))) << 8;
        };
        if (le16(6) > maxPictureSide || le16(8) > maxPictureSide)
            return QPixmap();
    }

    QPixmap pixmap;
    pixmap.loadFromData(body);
    return pixmap;
}

bool Downloader::downloadURL2(QString id, QString cName, QString url)
{
    if (url.isEmpty()) {
        QPixmap pic;
        emit imageUpdated(id, cName, pic);
        return true;
    }

    QByteArray jpegData;
    if (!fetch(url, jpegData)) {
        QPixmap pic;
        emit imageUpdated(id, cName, pic);
        return false;
    }
    QPixmap pixmap = decode(jpegData);
    emit imageUpdated(id, cName, pixmap);
    return true;
}

bool Downloader::downloadURL(const QString &url, const QString &fileName)
{
    QByteArray body;
    if (!fetch(url, body))
        return false;

    QFile file(fileName);
    qDebug() << fileName;
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(body);
    file.close();
    return true;
}

void Downloader::downloadFileFromURL(const QString &url, const QString &filePath)
{
    if (!m_isReady)
        return;
    m_isReady = false;

    const int slash = url.lastIndexOf(QLatin1Char('/'));
    const QString target = filePath + (slash >= 0 ? url.mid(slash) : url);
    qDebug() << target;

    delete m_file;
    m_file = new QFile;
    m_file->setFileName(target);
    m_file->open(QIODevice::WriteOnly);
    if (!m_file->isOpen()) {
        m_isReady = true;
        return;
    }

    auto *manager = new QNetworkAccessManager;
    // Redirects are not followed: Qt 5's default, which Qt 6 changed.
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    connect(manager, SIGNAL(finished(QNetworkReply *)), this,
            SLOT(onDownloadFileComplete(QNetworkReply *)));
    manager->get(QNetworkRequest(QUrl(url)));
}

void Downloader::onDownloadFileComplete(QNetworkReply *reply)
{
    // The reply and its manager exist for this one download only.
    reply->deleteLater();
    reply->manager()->deleteLater();

    if (!m_file || !m_file->isWritable()) {
        m_isReady = true;
        return;
    }
    m_file->write(reply->readAll());
    m_file->close();
    m_isReady = true;
}
