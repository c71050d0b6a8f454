#ifndef DOWNLOADER_H
#define DOWNLOADER_H

#include <QObject>
#include <QPixmap>
#include <QSize>
#include <QString>

class QFile;
class QNetworkReply;

class Downloader : public QObject
{
    Q_OBJECT
public:
    explicit Downloader(QObject *parent = nullptr);
    ~Downloader() override;

    bool downloadURL(const QString &url, const QString &fileName);
    void downloadFileFromURL(const QString &url, const QString &filePath);

    // A fetch that has not ended this long after it started is abandoned.
    static constexpr int fetchLimitMs = 4000;
    // Bodies beyond this size are abandoned while they arrive.
    static constexpr qint64 maxBodyBytes = 16 * 1024 * 1024;
    // Pictures declaring a larger side than this are not decoded.
    static constexpr int maxPictureSide = 8192;
    // The largest size a preview is ever shown at (the hover preview): pictures
    // are decoded straight to their fit into it, never enlarged.
    static constexpr QSize largestShownSize{400, 300};
    // How far Qt's HTTP thread may read ahead of the fetch collecting the body.
    static constexpr qint64 readAheadBytes = 256 * 1024;

signals:
    void imageUpdated(QString id, QString cName, QPixmap &pic);
    // A source's preview could not be had (an error status, the time limit, an
    // oversized body, an undecodable picture); sent just before its
    // imageUpdated. A source without a preview address never fails.
    void previewFailed(QString id, QString cName);

private slots:
    void onDownloadFileComplete(QNetworkReply *reply);
    bool downloadURL2(QString id, QString cName, QString url);

private:
    friend class TestDownloader;
    friend class FuzzAccess; // tests/fuzz: the body decoder
    // Runs one bounded GET in a nested event loop; returns the body, or false
    // on a transport error, an expired time limit, an oversized body or a
    // scheme other than http/https.
    static bool fetch(const QString &url, QByteArray &body);
    // "jpeg" or "png" from the body's signature, else empty: the only formats
    // a preview is decoded from. A PNG whose chunks run beyond the body is
    // refused.
    static QByteArray formatOf(const QByteArray &body);
    static QPixmap decode(const QByteArray &body);
    // The largest k (at most 3, libjpeg's smallest scale) for which
    // floor(W / 2^k) x floor(H / 2^k) still covers the fit; 0 when none does.
    static int reducedScaleShift(const QSize &declared, const QSize &fit);

    QFile *m_file = nullptr;
    bool m_isReady;
};

#endif // DOWNLOADER_H
