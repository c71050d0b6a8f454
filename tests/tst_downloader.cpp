#include "downloader.h"
#include "httpserver.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "logcapture.h"
#include "netguard.h"

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

extern char **environ;

namespace {

QByteArray encode(const QSize &size, const char *format)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A small valid JPEG whose header claims 16000 x 16000 pixels.
QByteArray hugeJpeg()
{
    QByteArray jpeg = encode(QSize(16, 16), "JPEG");
    const int sof = jpeg.indexOf("\xFF\xC0");
    Q_ASSERT(sof > 0);
    // Marker, length (2), precision (1), height (2), width (2).
    for (int offset : {sof + 5, sof + 7}) {
        jpeg[offset] = char(16000 >> 8);
        jpeg[offset + 1] = char(16000 & 0xFF);
    }
    return jpeg;
}

// A one-frame 8 x 8 GIF drawn on a logical screen of width x height (found by
// fuzz_decode: the reader reports the frame's size, the decoder allocates the screen).
QByteArray gifOnScreen(quint16 width, quint16 height)
{
    QByteArray gif = QByteArray::fromHex("474946383961"
                                         "00000000000000"
                                         "21f90400000000002c00000000080008000002"
                                         "07848fa900003b");
    gif[6] = char(width & 0xFF);
    gif[7] = char(width >> 8);
    gif[8] = char(height & 0xFF);
    gif[9] = char(height >> 8);
    return gif;
}

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task"))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
        .size();
}

// The names of this process's threads, as the kernel knows them (at most 15 characters).
QStringList threadNames()
{
    QStringList names;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly))
            names << QString::fromUtf8(comm.readAll().trimmed());
    }
    names.sort();
    return names;
}

// Adds ("add") or removes ("del") ADDRESS/32 on lo; returns ip's exit status,
// -1 when it could not run. Started with posix_spawn rather than QProcess,
// whose child reaper passes waitid() a null status pointer, which memcheck
// reports as an error.
int onLoopback(const char *verb, const QString &address)
{
    const QString ip = QStandardPaths::findExecutable(
        QStringLiteral("ip"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                               QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
    if (ip.isEmpty())
        return -1;
    const QByteArray path = ip.toLocal8Bit(), cidr = (address + QStringLiteral("/32")).toLatin1();
    const char *argv[] = {path.constData(), "addr", verb, cidr.constData(), "dev", "lo", nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Emission
{
    QString id, cName;
    QPixmap pic;
};

} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init()
    {
        LogCapture::lines().clear();
        signalled.clear();
    }

    void firstFetchLeavesOnlyQtsOneTimeThreads();
    void fetchAfterAddressAddedLate();
    void proxyInEnvironmentIsNotUsed();
    void emptyUrlMakesNoRequest();
    void fetch_data();
    void fetch();
    void timeLimit_data();
    void timeLimit();
    void answerWhileThisThreadWasBusyIsKept();
    void oversizedBodyIsAbandoned();
    void hugeDeclaredPictureIsNotDecoded();
    void decodedToShownFit_data();
    void decodedToShownFit();
    void onlyJpegAndPngAreDecoded_data();
    void onlyJpegAndPngAreDecoded();
    void pngChunkBeyondBodyIsRefused();
    void pictureOverImageReaderDefaultLimitDecodes();
    void onlyWebSchemesAreFetched_data();
    void onlyWebSchemesAreFetched();
    void nestedFetchEmitsInnerFirst();
    void repeatedFetchesReleaseEverything();

    void downloadUrlToFile();
    void backgroundDownloadNames_data();
    void backgroundDownloadNames();
    void backgroundDownloadWhileBusyIsDropped();
    void noProxyLookupAfterFetches();

private:
    // Calls the fetch as a direct caller and records what it announced.
    bool fetchInto(Downloader &d, const QString &url, QList<Emission> &out)
    {
        connect(&d, &Downloader::imageUpdated, this,
                [this, &out](QString id, QString cName, QPixmap &pic) {
                    out.append({id, cName, pic});
                    signalled << QStringLiteral("image ") + id;
                });
        connect(&d, &Downloader::previewFailed, this, [this](QString id, QString cName) {
            signalled << QStringLiteral("failed %1 %2").arg(id, cName);
        });
        const bool ok = d.downloadURL2(QStringLiteral("127.0.0.11"), QStringLiteral("Cam"), url);
        disconnect(&d, &Downloader::imageUpdated, this, nullptr);
        disconnect(&d, &Downloader::previewFailed, this, nullptr);
        return ok;
    }
    // The failure, when there is one, comes just before the picture's update.
    static QStringList failedThenImage()
    {
        return {QStringLiteral("failed 127.0.0.11 Cam"), QStringLiteral("image 127.0.0.11")};
    }

    QStringList signalled; // previewFailed and imageUpdated, in order

    HttpServer server;
};

void TestDownloader::initTestCase()
{
    LogCapture::install();
    QVERIFY(server.isListening());
    server.route("/snap.jpg", "image/jpeg", encode(QSize(1280, 720), "JPEG"));
    server.route("/snap.png", "image/png", encode(QSize(320, 240), "PNG"));
    server.route("/snap.gif", "image/gif", gifOnScreen(16, 8));
    server.route("/index.html", "text/html", "<html><body>hello</body></html>");
    server.route("/moved", "text/html", "moved",
                 301); // the Location header is added below
    HttpServer::Route moved;
    moved.head =
        "HTTP/1.1 301 Moved\r\nLocation: /snap.jpg\r\nContent-Length: 0\r\nConnection: close";
    server.route("/moved", moved);
    server.route("/huge.jpg", "image/jpeg", hugeJpeg());
    server.route("/missing", "text/plain", "no", 404);
    HttpServer::Route r;
    r.head = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nConnection: close";
    r.mode = HttpServer::Hang;
    server.route("/hang", r);
    r.mode = HttpServer::Drip;
    server.route("/drip", r);
    r.mode = HttpServer::Endless;
    server.route("/endless", r);
    HttpServer::Route declared;
    declared.head = "HTTP/1.1 200 OK\r\nContent-Length: 20000000\r\nConnection: close";
    declared.body = "x";
    server.route("/declared", declared);
    HttpServer::Route slow = r;
    slow.mode = HttpServer::Normal;
    slow.head = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nConnection: close";
    slow.body = encode(QSize(8, 8), "PNG");
    slow.delayMs = 300;
    server.route("/slow.png", slow);
}

void TestDownloader::emptyUrlMakesNoRequest()
{
    Downloader d;
    QList<Emission> out;
    const int requestsBefore = server.requests.size();
    QVERIFY(fetchInto(d, QString(), out));
    QVERIFY(fetchInto(d, QStringLiteral(""), out));
    QCOMPARE(out.size(), 2);
    QCOMPARE(out.at(0).id, QString("127.0.0.11"));
    QCOMPARE(out.at(0).cName, QString("Cam"));
    QVERIFY(out.at(0).pic.isNull());
    QCOMPARE(server.requests.size(), requestsBefore);
    QVERIFY(LogCapture::lines().isEmpty());
    // A source without a preview address is not failing.
    QCOMPARE(signalled, QStringList({"image 127.0.0.11", "image 127.0.0.11"}));
}

void TestDownloader::fetch_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QSize>("size"); // empty for a null pixmap

    QTest::newRow("jpeg, decoded to its hover fit") << "/snap.jpg" << true << QSize(400, 225);
    QTest::newRow("png") << "/snap.png" << true << QSize(320, 240);
    QTest::newRow("text page") << "/index.html" << true << QSize();
    QTest::newRow("gif, not decoded") << "/snap.gif" << true << QSize();
    QTest::newRow("redirect not followed") << "/moved" << true << QSize();
    QTest::newRow("404") << "/missing" << false << QSize();
}

void TestDownloader::fetch()
{
    QFETCH(QString, path);
    QFETCH(bool, ok);
    QFETCH(QSize, size);

    server.requests.clear();
    Downloader d;
    QList<Emission> out;
    QCOMPARE(fetchInto(d, server.url(path), out), ok);
    QCOMPARE(out.size(), 1);
    QCOMPARE(out.at(0).cName, QString("Cam"));
    QCOMPARE(out.at(0).pic.isNull(), size.isEmpty());
    if (!size.isEmpty())
        QCOMPARE(out.at(0).pic.size(), size);
    // Every fetch that ends without a picture is a failure: an error status
    // as well as a body that does not decode.
    QCOMPARE(signalled, size.isEmpty() ? failedThenImage() : QStringList({"image 127.0.0.11"}));
    QCOMPARE(server.requests, QStringList({path})); // one GET, redirects not followed
    QVERIFY(LogCapture::lines().isEmpty());
}

void TestDownloader::timeLimit_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("never answers") << server.url("/hang");
    QTest::newRow("drips a byte a second") << server.url("/drip");
}

void TestDownloader::timeLimit()
{
    QFETCH(QString, url);
    Downloader d;
    QList<Emission> out;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!fetchInto(d, url, out));
    // Generous bound: the point is that the wait ends, not how fast.
    QVERIFY2(timer.elapsed() < 3 * Downloader::fetchLimitMs,
             qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(out.size(), 1);
    QVERIFY(out.at(0).pic.isNull());
    QCOMPARE(signalled, failedThenImage());
}

void TestDownloader::answerWhileThisThreadWasBusyIsKept()
{
    // A slow display can hold this thread in a paint for longer than the fetch
    // limit while the server answers at once: the answer that arrived meanwhile
    // is the fetch's result, not an expired limit. The server runs in a thread
    // of its own, so that it answers while this one is busy.
    const QByteArray body = encode(QSize(64, 36), "JPEG");
    std::atomic<quint16> port{0};
    std::atomic<bool> answered{false};
    std::thread serverThread([&] {
        QTcpServer listener;
        if (!listener.listen(QHostAddress::LocalHost, 0)) {
            port = 1; // nothing listens there: the fetch fails
            return;
        }
        port = listener.serverPort();
        if (!listener.waitForNewConnection(10000))
            return;
        QTcpSocket *socket = listener.nextPendingConnection();
        QByteArray request;
        while (!request.contains("\r\n\r\n") && socket->waitForReadyRead(10000))
            request += socket->readAll();
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->waitForBytesWritten(10000);
        answered = true;
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->waitForDisconnected(10000);
    });
    while (port == 0)
        QThread::msleep(1);

    // Once the fetch waits, this thread is busy until the server has answered
    // and then for longer than the whole limit.
    QTimer::singleShot(0, this, [&answered] {
        QElapsedTimer waited;
        waited.start();
        while (!answered && waited.elapsed() < 10000)
            QThread::msleep(5);
        QThread::msleep(Downloader::fetchLimitMs + 500);
    });
    QByteArray got;
    const bool ok =
        Downloader::fetch(QStringLiteral("http://127.0.0.1:%1/snap.jpg").arg(port), got);
    serverThread.join();
    QVERIFY(answered);
    QVERIFY(ok);
    QCOMPARE(got, body);
}

void TestDownloader::oversizedBodyIsAbandoned()
{
    QCOMPARE(Downloader::maxBodyBytes, qint64(16 * 1024 * 1024));
    Downloader d;
    QList<Emission> out;
    QVERIFY(!fetchInto(d, server.url("/endless"), out));
    QVERIFY(!fetchInto(d, server.url("/declared"), out));
    QCOMPARE(out.size(), 2);
    QVERIFY(out.at(0).pic.isNull());
    QVERIFY(out.at(1).pic.isNull());
    QCOMPARE(signalled, failedThenImage() + failedThenImage());
}

void TestDownloader::hugeDeclaredPictureIsNotDecoded()
{
    Downloader d;
    QList<Emission> out;
    QVERIFY(fetchInto(d, server.url("/huge.jpg"), out));
    QCOMPARE(out.size(), 1);
    QVERIFY(out.at(0).pic.isNull());
    QCOMPARE(signalled, failedThenImage());
    // The largest accepted side still decodes.
    QVERIFY(!Downloader::decode(encode(QSize(8192, 2), "PNG")).isNull());
    QVERIFY(Downloader::decode(encode(QSize(8193, 2), "PNG")).isNull());
}

void TestDownloader::decodedToShownFit_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QSize>("size");
    QTest::newRow("jpeg 1280x720") << encode(QSize(1280, 720), "JPEG") << QSize(400, 225);
    QTest::newRow("jpeg 1600x1200") << encode(QSize(1600, 1200), "JPEG") << QSize(400, 300);
    QTest::newRow("jpeg 300x500") << encode(QSize(300, 500), "JPEG") << QSize(180, 300);
    // Decoded at 1/2 (500 x 388, the last source row left out), then fitted.
    QTest::newRow("jpeg 1000x777") << encode(QSize(1000, 777), "JPEG") << QSize(386, 300);
    QTest::newRow("jpeg 720x1280") << encode(QSize(720, 1280), "JPEG") << QSize(168, 300);
    QTest::newRow("jpeg 3207x1803, 1/8") << encode(QSize(3207, 1803), "JPEG") << QSize(400, 224);
    QTest::newRow("jpeg 400x300 as it is") << encode(QSize(400, 300), "JPEG") << QSize(400, 300);
    QTest::newRow("jpeg 100x80 not enlarged") << encode(QSize(100, 80), "JPEG") << QSize(100, 80);
    QTest::newRow("png 1280x720") << encode(QSize(1280, 720), "PNG") << QSize(400, 225);
    QTest::newRow("png 8192x2, one line") << encode(QSize(8192, 2), "PNG") << QSize(400, 1);
}

void TestDownloader::decodedToShownFit()
{
    QFETCH(QByteArray, body);
    QFETCH(QSize, size);
    const QPixmap pic = Downloader::decode(body);
    QCOMPARE(pic.size(), size);
    // Scaling keeps the picture: the fill colour survives.
    QCOMPARE(pic.toImage().pixelColor(0, 0).rgb() & 0xF0F0F0,
             QColor(Qt::darkCyan).rgb() & 0xF0F0F0);
}

void TestDownloader::onlyJpegAndPngAreDecoded_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("decoded");
    QTest::newRow("jpeg") << encode(QSize(16, 8), "JPEG") << true;
    QTest::newRow("png") << encode(QSize(16, 8), "PNG") << true;
    // Formats that other installed plugins would read. Their parsers are kept
    // away from LAN data: GIF's once nearly allocated 2 GiB for a 39-byte body.
    QTest::newRow("gif") << gifOnScreen(16, 8) << false;
    QTest::newRow("gif, screen at the limit")
        << gifOnScreen(Downloader::maxPictureSide, 8) << false;
    QTest::newRow("gif, screen beyond the limit") << gifOnScreen(255, 65280) << false;
    for (const char *format : {"BMP", "PPM", "XPM", "TIFF", "WEBP", "ICO", "TGA"}) {
        const QByteArray body = encode(QSize(16, 8), format);
        if (!body.isEmpty())
            QTest::newRow(format) << body << false;
    }
    QByteArray jpegTail = encode(QSize(16, 8), "JPEG");
    QTest::newRow("jpeg without its signature") << jpegTail.mid(2) << false;
    QTest::newRow("jpeg signature, garbage after it")
        << QByteArray("\xFF\xD8\xFF\xE0") + QByteArray(600, 'x') << false;
    // libjpeg shows what arrived and fills the rest, in either decoder.
    const QByteArray large = encode(QSize(1280, 720), "JPEG");
    QTest::newRow("jpeg 1280x720 cut short") << large.left(large.size() * 2 / 3) << true;
    QTest::newRow("jpeg 1280x720 header only") << large.left(700) << true;
    QTest::newRow("png signature, gif after it")
        << QByteArray("\x89PNG\r\n\x1A\n") + gifOnScreen(16, 8) << false;
}

void TestDownloader::onlyJpegAndPngAreDecoded()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, decoded);
    // The fetch of such a body still succeeds: fetch_data's "gif" row.
    QCOMPARE(!Downloader::decode(body).isNull(), decoded);
}

void TestDownloader::pngChunkBeyondBodyIsRefused()
{
    // Found by fuzz_decode: a text chunk after the picture data declares about
    // 2 GiB, and libpng allocates and clears that much before it reads.
    const QByteArray body = QByteArray::fromHex(
        "89504e470d0a1a0a0000000d4948445200000008000000080103000000fec12cc80000000467414d41"
        "0040b18f0bfc6105000000206348524d00007a2600008084000000fa000080e8000075300000ea6000"
        "003a98000017709cba513c00000006504c5445008000ffffff143f2f4f00000001624b474401ff022d"
        "de0000000774494d450c2e16070c07eaea7806800000000b4944415408d7636040050000100001a1c5"
        "21c17a00002574455874646174653a63302517ffb10000002574455874646174653a6d6f6469667900"
        "323032362d323130372d5431323a32323a34362b30303a3030a54a470d0000000049454e44ae42a182");
    QVERIFY(Downloader::formatOf(body).isEmpty());
    QVERIFY(Downloader::decode(body).isNull());
    // Chunks that do lie within the body pass, text chunks included.
    QImage image(QSize(16, 8), QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    image.setText(QStringLiteral("Description"), QStringLiteral("camera 1"));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(image.save(&buffer, "PNG"));
    QVERIFY(png.contains("tEXt"));
    QCOMPARE(Downloader::formatOf(png), QByteArray("png"));
    QCOMPARE(Downloader::decode(png).size(), QSize(16, 8));
    // Cut inside a chunk, the body is refused before libpng sees it.
    QVERIFY(Downloader::formatOf(png.left(png.indexOf("IDAT") + 8)).isEmpty());
}

void TestDownloader::pictureOverImageReaderDefaultLimitDecodes()
{
    // Within the side limit, but 137 MB decoded (PNG is read at full size
    // before it is scaled): over the 128 MiB that Qt 6's image readers refuse
    // by default. The program's own guard is the only one.
    const QPixmap big = Downloader::decode(encode(QSize(Downloader::maxPictureSide, 4200), "PNG"));
    QCOMPARE(big.size(), QSize(400, 205));
}

void TestDownloader::onlyWebSchemesAreFetched_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("file") << "file:///etc/hostname";
    QTest::newRow("qrc") << "qrc:/anything.png";
    QTest::newRow("data") << QString::fromLatin1("data:image/png;base64," +
                                                 encode(QSize(4, 4), "PNG").toBase64());
    QTest::newRow("ftp") << "ftp://127.0.0.1/a.jpg";
    QTest::newRow("no scheme") << "127.0.0.1/snap.jpg";
}

void TestDownloader::onlyWebSchemesAreFetched()
{
    QFETCH(QString, url);
    Downloader d;
    QList<Emission> out;
    QVERIFY(!fetchInto(d, url, out));
    QCOMPARE(out.size(), 1);
    QVERIFY(out.at(0).pic.isNull());
}

void TestDownloader::nestedFetchEmitsInnerFirst()
{
    Downloader d;
    QStringList order;
    connect(&d, &Downloader::imageUpdated, this, [&order](QString id, QString, QPixmap &pic) {
        order << id + (pic.isNull() ? "-" : "+");
    });
    // While the outer fetch waits, a second announcement arrives.
    QTimer::singleShot(50, &d, [&d, this] {
        d.downloadURL2(QStringLiteral("inner"), QString(), server.url("/snap.png"));
    });
    QVERIFY(d.downloadURL2(QStringLiteral("outer"), QString(), server.url("/slow.png")));
    QCOMPARE(order, QStringList({"inner+", "outer+"}));
}

void TestDownloader::firstFetchLeavesOnlyQtsOneTimeThreads()
{
    // Runs before any other fetch of this process: the first access manager
    // starts Qt's one-time threads, and only those may stay once it is gone.
    QStringList expected = threadNames();
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 5's bearer thread stays for the rest of the process; without bearer
    // plugins it has no engine to run, and no D-Bus connection is opened.
    expected << QStringLiteral("Qt bearer threa");
    expected.sort();
#endif
    // Qt 6 has no bearer management: the HTTP thread ends with its manager, and
    // nothing else is left behind.
    Downloader d;
    QList<Emission> out;
    QVERIFY(fetchInto(d, server.url("/snap.png"), out));
    QTRY_COMPARE(threadNames(), expected);
    // The library paths are as they were, and the plugins found through them still load.
    QVERIFY(!QCoreApplication::libraryPaths().isEmpty());
    QVERIFY(!Downloader::decode(encode(QSize(64, 48), "JPEG")).isNull());
    out.clear();
    QVERIFY(fetchInto(d, server.url("/snap.png"), out));

    QFile maps(QStringLiteral("/proc/self/maps"));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    QVERIFY2(!mapped.contains("/bearer/"), "a bearer plugin was loaded");
    QVERIFY2(!mapped.contains("libQt5DBus"), "QtDBus was loaded");
}

void TestDownloader::fetchAfterAddressAddedLate()
{
    // Interfaces and addresses come and go on a receiver's network; one added
    // after Qt's network set-up is fetched from like any other. The address is
    // outside 127/8, which Qt always treats as reachable.
    if (!inPrivateNetwork())
        QSKIP("changes the loopback interface: runs in the private network namespace that "
              "scripts/test makes");
    const QString address = QStringLiteral("10.213.0.1");
    Downloader d;
    QList<Emission> out;
    QVERIFY(fetchInto(d, server.url("/snap.png"), out)); // Qt's network set-up is done
    {
        HttpServer early{QHostAddress(address)};
        QVERIFY(!early.isListening()); // the address does not exist yet
    }
    QCOMPARE(onLoopback("add", address), 0);
    HttpServer late{QHostAddress(address)};
    QVERIFY(late.isListening());
    late.route("/snap.png", "image/png", encode(QSize(32, 24), "PNG"));
    out.clear();
    const bool ok = fetchInto(d, late.url("/snap.png"), out);
    late.close();
    QCOMPARE(onLoopback("del", address), 0);
    QVERIFY(ok);
    QCOMPARE(out.size(), 1);
    QCOMPARE(out.first().pic.size(), QSize(32, 24));
}

void TestDownloader::proxyInEnvironmentIsNotUsed()
{
    // A proxy named in the environment (/etc/default/sourcebar, a shell) is
    // never offered a preview request: the fetch goes straight to the
    // transmitter. Qt never proxies loopback addresses, so the pictures come
    // from a link-local address given to lo in this private namespace.
    if (!inPrivateNetwork())
        QSKIP("changes the loopback interface: runs in the private network namespace that "
              "scripts/test makes");
    QTcpServer proxy;
    proxy.setProxy(QNetworkProxy::NoProxy);
    QVERIFY(proxy.listen(QHostAddress::LocalHost, 0));
    int offered = 0;
    connect(&proxy, &QTcpServer::newConnection, this, [&proxy, &offered] {
        while (QTcpSocket *socket = proxy.nextPendingConnection()) {
            ++offered;
            socket->deleteLater(); // never answers
        }
    });
    const QByteArray proxyUrl = "http://127.0.0.1:" + QByteArray::number(proxy.serverPort());
    const EnvironmentVariable http("http_proxy", proxyUrl), httpUpper("HTTP_PROXY", proxyUrl),
        all("all_proxy", proxyUrl), allUpper("ALL_PROXY", proxyUrl),
        noProxy("no_proxy", QByteArray()), noProxyUpper("NO_PROXY", QByteArray());

    const QString address = QStringLiteral("169.254.77.1");
    QCOMPARE(onLoopback("add", address), 0);
    QList<Emission> out;
    bool ok = false;
    QStringList requests;
    {
        HttpServer lan{QHostAddress(address)};
        QVERIFY(lan.isListening());
        lan.route("/snap.png", "image/png", encode(QSize(32, 24), "PNG"));
        Downloader d;
        ok = fetchInto(d, lan.url("/snap.png"), out);
        QTest::qWait(100); // a connection to the proxy would be taken here at the latest
        requests = lan.requests;
    }
    QCOMPARE(onLoopback("del", address), 0);
    QCOMPARE(offered, 0);
    QVERIFY(ok);
    QCOMPARE(requests, QStringList({"/snap.png"}));
    QCOMPARE(out.size(), 1);
    QCOMPARE(out.first().pic.size(), QSize(32, 24));
    VERIFY_NO_PROXY_LOOKUP();
}

void TestDownloader::noProxyLookupAfterFetches()
{
    // After every fetch of this process, and the background download's: no
    // proxy library was loaded for a lookup (libproxy, its modules, its
    // JavaScript engine) and no proxy thread ("QLibProxyWrapper") runs.
    Downloader d;
    QList<Emission> out;
    QVERIFY(fetchInto(d, server.url("/snap.png"), out));
    QTemporaryDir dir;
    d.downloadFileFromURL(server.url("/snap.png"), dir.path());
    QTRY_VERIFY(d.m_isReady);
    VERIFY_NO_PROXY_LOOKUP();
}

void TestDownloader::repeatedFetchesReleaseEverything()
{
    Downloader d;
    QList<Emission> out;
    fetchInto(d, server.url("/snap.png"), out); // Qt's one-time set-up
    QTest::qWait(200);
    const int threads = threadCount();
    for (int i = 0; i < 50; ++i)
        QVERIFY(fetchInto(d, server.url("/snap.png"), out));
    QVERIFY(!fetchInto(d, server.url("/missing"), out));
    QTRY_VERIFY2(threadCount() <= threads,
                 qPrintable(QString("%1 threads, %2 before").arg(threadCount()).arg(threads)));
    QCOMPARE(d.findChildren<QObject *>().size(), 0);
}

void TestDownloader::downloadUrlToFile()
{
    QTemporaryDir dir;
    const QString name = dir.filePath("a.png");
    Downloader d;
    QVERIFY(d.downloadURL(server.url("/snap.png"), name));
    QCOMPARE(LogCapture::lines(), QStringList({'"' + name + '"'}));
    QFile file(name);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), encode(QSize(320, 240), "PNG"));

    // A transport error touches no file.
    const QString other = dir.filePath("b.png");
    QVERIFY(!d.downloadURL(server.url("/missing"), other));
    QVERIFY(!QFile::exists(other));
    // An unwritable target fails after logging its name.
    QVERIFY(!d.downloadURL(server.url("/snap.png"), dir.filePath("no/such/dir.png")));
}

void TestDownloader::backgroundDownloadNames_data()
{
    QTest::addColumn<QString>("path");   // url path on the server
    QTest::addColumn<QString>("suffix"); // appended to the directory
    QTest::addColumn<QString>("target"); // file name relative to the directory

    QTest::newRow("plain") << "/snap/a.jpg"
                           << ""
                           << "/a.jpg";
    QTest::newRow("trailing slash") << "/snap/a.jpg"
                                    << "/"
                                    << "//a.jpg";
}

void TestDownloader::backgroundDownloadNames()
{
    QFETCH(QString, path);
    QFETCH(QString, suffix);
    QFETCH(QString, target);

    QTemporaryDir dir;
    server.route(path.toLatin1(), "image/jpeg", "JPEGBYTES");
    Downloader d;
    d.downloadFileFromURL(server.url(path), dir.path() + suffix);
    QCOMPARE(LogCapture::lines(), QStringList({'"' + dir.path() + target + '"'}));
    QVERIFY(!d.m_isReady);
    QTRY_VERIFY(d.m_isReady);
    QFile file(dir.path() + target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("JPEGBYTES"));
}

void TestDownloader::backgroundDownloadWhileBusyIsDropped()
{
    QTemporaryDir dir;
    Downloader d;
    d.downloadFileFromURL(server.url("/slow.png"), dir.path());
    d.downloadFileFromURL(server.url("/snap.png"), dir.path());
    QCOMPARE(LogCapture::lines().size(), 1);
    QTRY_VERIFY(d.m_isReady);
    QVERIFY(QFile::exists(dir.filePath("slow.png")));
    QVERIFY(!QFile::exists(dir.filePath("snap.png")));

    // A url without a slash is appended whole; an unopenable target makes no request.
    LogCapture::lines().clear();
    server.requests.clear();
    d.downloadFileFromURL(QStringLiteral("nosuchfile"), dir.filePath("missing-dir") + "/x-");
    QCOMPARE(LogCapture::lines(),
             QStringList({'"' + dir.filePath("missing-dir") + "/x-nosuchfile\""}));
    QVERIFY(d.m_isReady);
    QTest::qWait(50);
    QVERIFY(server.requests.isEmpty());
}

QTEST_MAIN(TestDownloader)
#include "tst_downloader.moc"
