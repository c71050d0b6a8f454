#include "downloader.h"

#include "areascale.h"
#include "jpegfit.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRect>
#include <QTimer>
#include <QUrl>

#include <memory>

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

namespace {
// A fresh access manager. Under Qt 5 the first one of the process also sets up
// bearer management: it searches the library paths once for bearer plugins
// (generic, connman, NetworkManager) and starts their engines, which bring in
// QtDBus and its thread and poll the interfaces for the rest of the process.
// A fetch uses none of it: the request goes out whatever they would report.
// With the library paths empty during that one search, no bearer plugin is
// loaded; the paths are back before anything else can search them. Qt's bearer
// thread still starts, but without engines it waits and never wakes. Qt 6 has
// no bearer management.
// The transmitters are on the receiver's own LAN, addressed by IP: no request
// goes through a proxy, whatever the environment (http_proxy, all_proxy, ...)
// or the system's settings say. With a proxy of its own the manager never asks
// the application's proxy factory, so no proxy lookup happens at all: under
// Qt 6 that lookup is libproxy's, which starts a thread that stays and sets up
// its engine for auto-configuration scripts, a JavaScript interpreter.
std::unique_ptr<QNetworkAccessManager> newManager()
{
    std::unique_ptr<QNetworkAccessManager> manager;
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    static bool bearerSearched = false;
    if (!bearerSearched) {
        bearerSearched = true;
        const QStringList paths = QCoreApplication::libraryPaths();
        QCoreApplication::setLibraryPaths(QStringList());
        manager.reset(new QNetworkAccessManager);
        QCoreApplication::setLibraryPaths(paths);
    }
#endif
    if (!manager)
        manager.reset(new QNetworkAccessManager);
    manager->setProxy(QNetworkProxy::NoProxy);
    return manager;
}
} // namespace

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
    const std::unique_ptr<QNetworkAccessManager> manager = newManager();
    // Redirects are not followed: Qt 5's default, which Qt 6 changed.
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager->get(QNetworkRequest(target));

    // Qt's HTTP thread stops reading from the socket once this much waits for
    // us, so a server that sends faster than we collect cannot fill memory.
    reply->setReadBufferSize(readAheadBytes);

    bool abandoned = false;
    auto abandon = [&abandoned, reply] {
        abandoned = true;
        reply->abort();
    };
    QByteArray collected;
    auto collect = [&collected, &abandoned, abandon, reply] {
        while (!abandoned && reply->bytesAvailable() > 0) {
            const QByteArray chunk = reply->read(readAheadBytes);
            if (collected.size() + chunk.size() > maxBodyBytes)
                abandon();
            else
                collected += chunk;
        }
    };
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QIODevice::readyRead, &loop, collect);
    // The transfer timeout of the request only bounds inactivity; a server that
    // drips a byte a second would hold the fetch for ever without this limit.
    // The limit is on the server, not on this thread: after a long paint in
    // the nested loop (a slow display) the timer and the answer that arrived
    // meanwhile are due together, and what is already here is taken first.
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, [abandon, reply] {
        QCoreApplication::sendPostedEvents(reply, QEvent::MetaCall);
        if (!reply->isFinished())
            abandon();
    });
    connect(reply, &QNetworkReply::downloadProgress, &loop, [abandon](qint64, qint64 total) {
        if (total > maxBodyBytes)
            abandon();
    });
    limit.start(fetchLimitMs);
    if (reply->isRunning())
        loop.exec();
    if (!abandoned && reply->isFinished())
        collect();

    // The wait also ends early when the application quits under it: an
    // unfinished transfer is a failed one.
    const bool ok = !abandoned && reply->isFinished() && reply->error() == QNetworkReply::NoError;
    if (ok)
        body = collected;
    delete reply;
    return ok;
}

// libpng allocates (and clears) whatever length a chunk declares before it
// finds that the data is not there: up to 2 GiB for a 246-byte body. Every
// chunk must therefore lie within the body.
static bool pngChunksWithinBody(const QByteArray &body)
{
    const auto be32 = [&body](qint64 i) {
        return quint32(quint8(body.at(int(i)))) << 24 | quint32(quint8(body.at(int(i + 1)))) << 16 |
               quint32(quint8(body.at(int(i + 2)))) << 8 | quint32(quint8(body.at(int(i + 3))));
    };
    qint64 at = 8; // after the signature
    while (at + 8 <= body.size()) {
        const qint64 end = at + 12 + be32(at); // length, type, data, CRC
        if (end > body.size())
            return false;
        if (body.mid(int(at + 4), 4) == "IEND")
            return true;
        at = end;
    }
    return true;
}

QByteArray Downloader::formatOf(const QByteArray &body)
{
    if (body.startsWith("\xFF\xD8\xFF"))
        return QByteArrayLiteral("jpeg");
    if (body.startsWith("\x89PNG\r\n\x1A\n") && pngChunksWithinBody(body))
        return QByteArrayLiteral("png");
    return QByteArray();
}

QPixmap Downloader::decode(const QByteArray &body)
{
    // The body comes from the LAN: it reaches only the decoder its signature
    // names, never whichever installed plugin claims it.
    const QByteArray format = formatOf(body);
    if (format.isEmpty())
        return QPixmap();
    if (format == "jpeg") {
        // libjpeg straight into 32-bit pixels at the DCT scale, each row
        // averaged into the fit as it comes. Pictures that need no reduction,
        // CMYK ones, and all of them where the area scaler does not beat Qt's
        // smooth scale (no SSE2) go through Qt's reader below.
        JpegFit jpeg(body);
        const QSize declared = jpeg.size();
        if (!declared.isValid() || declared.width() > maxPictureSide ||
            declared.height() > maxPictureSide)
            return QPixmap();
        if (jpeg.convertible() && (declared.width() > largestShownSize.width() ||
                                   declared.height() > largestShownSize.height())) {
            const QSize shown =
                declared.scaled(largestShownSize, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
            const QImage fitted = jpeg.decode(reducedScaleShift(declared, shown), shown);
            if (!fitted.isNull())
                return QPixmap::fromImage(fitted);
        }
    }
    QBuffer buffer;
    buffer.setData(body);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
    // The decoder has no size limit of its own; the header alone tells the
    // declared size cheaply, before a huge buffer would be allocated.
    const QSize declared = reader.size();
    if (!declared.isValid() || declared.width() > maxPictureSide ||
        declared.height() > maxPictureSide)
        return QPixmap();
    // Decoded straight to the largest size it is ever shown at: no full-size
    // copy of a picture is kept.
    const QSize shown =
        declared.scaled(largestShownSize, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    if (declared.width() <= largestShownSize.width() &&
        declared.height() <= largestShownSize.height())
        return QPixmap::fromImage(reader.read());
    if (format == "jpeg") {
        const int k = reducedScaleShift(declared, shown);
        if (k > 0) {
            const QSize reduced(declared.width() >> k, declared.height() >> k);
            // The clip keeps Qt's handler on libjpeg's power-of-two scale, with
            // the output taken as it comes: asked for a size libjpeg does not
            // produce itself, the handler picks a larger M/8 scale and smooths
            // its output once more.
            reader.setClipRect(QRect(0, 0, reduced.width() << k, reduced.height() << k));
            reader.setScaledSize(reduced);
        }
    }
    return QPixmap::fromImage(AreaScaler::scaled(reader.read(), shown));
}

int Downloader::reducedScaleShift(const QSize &declared, const QSize &fit)
{
    // libjpeg decodes at 1/2, 1/4 or 1/8 for a fraction of the work of a full
    // decode. The smallest of them that still covers the fit keeps every shown
    // pixel an average of decoded ones, within a shade of a full decode's.
    int k = 0;
    while (k < 3 && declared.width() >> (k + 1) >= fit.width() &&
           declared.height() >> (k + 1) >= fit.height())
        ++k;
    return k;
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
        emit previewFailed(id, cName);
        emit imageUpdated(id, cName, pic);
        return false;
    }
    QPixmap pixmap = decode(jpegData);
    if (pixmap.isNull())
        emit previewFailed(id, cName);
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

    auto *manager = newManager().release();
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
