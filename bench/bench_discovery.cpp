// Discovery-latency benchmark: from a transmitter's reply arriving on the
// program's socket (the kernel's receive time stamp, SIOCGSTAMPNS) to its
// button existing with its picture, against one fetch and decode of the same
// preview done alone. Runs with one transmitter (txsim --count 1), so that the
// socket's last time stamp is always that of the reply being handled.
//   bench_discovery [--rounds N]
// Each round is a right press on the window: clear the bar, discover again.
#include "benchcommon.h"
#include "benchnet.h"
#include "downloader.h"
#include "udpclient.h"
#include "widget.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMouseEvent>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPixmap>
#include <QThread>
#include <QToolButton>
#include <QUdpSocket>
#include <QUrl>

#include <cstdio>
#include <functional>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// One fetch and decode as the mandated work does it: a fresh access manager,
// a GET waited in a local event loop, QPixmap::loadFromData.
bool fetchAndDecode(const QString &url)
{
    QPixmap pic;
    pic.loadFromData(bench::qtFetch(url));
    return !pic.isNull();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    int rounds = 15;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--rounds"))
            rounds = args.at(i + 1).toInt();
    }
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    bench::installLook(app);

    // Stages inside the program, seen from connections made before the
    // window's own (they run first) and after them (they run last).
    int64_t handlerStartNs = 0, decodedNs = 0;
    std::vector<double> toHandlerMs, fetchDecodeInProgramMs, buttonMs;
    QObject::connect(&client, &UdpClient::sourceUpdated,
                     [&] { handlerStartNs = bench::nsOf(CLOCK_REALTIME); });
    QObject::connect(&download, &Downloader::imageUpdated,
                     [&] { decodedNs = bench::nsOf(CLOCK_REALTIME); });
    Widget window;
    window.show();
    showImage = true;
    auto *socket = client.findChild<QUdpSocket *>();
    // The first discovery binds the socket; its reply is not measured.
    client.discovery();
    if (!socket ||
        !bench::waitFor([] { return !client.jsonList.isEmpty() && !onDiscovery; }, 10000)) {
        std::fprintf(stderr, "discovery: no transmitter answered\n");
        return 1;
    }
    const int fd = int(socket->socketDescriptor());
    // The first SIOCGSTAMPNS switches the socket's time stamps on (it has none
    // yet to give); from then on every datagram read leaves its receive time
    // for the next call. (SO_TIMESTAMPNS would send the stamps as control
    // messages instead, which Qt's reader drops.)
    timespec unused;
    ioctl(fd, SIOCGSTAMPNS, &unused);
    const QString url = client.jsonList.first().value(QLatin1String("JPEGurl_2")).toString();

    std::vector<double> latencyMs;
    int withoutPicture = 0;
    // Connected after the window's own connection: it runs once the reply's
    // fetch, decode and button update are all done.
    QObject::connect(&client, &UdpClient::sourceUpdated, [&](const QString &id) {
        timespec arrival;
        if (ioctl(fd, SIOCGSTAMPNS, &arrival) != 0)
            return;
        const int64_t nowNs = bench::nsOf(CLOCK_REALTIME);
        const int64_t arrivalNs = int64_t(arrival.tv_sec) * 1000000000 + arrival.tv_nsec;
        const double ms = double(nowNs - arrivalNs) / 1e6;
        toHandlerMs.push_back(double(handlerStartNs - arrivalNs) / 1e6);
        fetchDecodeInProgramMs.push_back(double(decodedNs - handlerStartNs) / 1e6);
        buttonMs.push_back(double(nowNs - decodedNs) / 1e6);
        bool shown = false;
        for (QToolButton *b : window.findChildren<QToolButton *>())
            shown = shown || (b->toolTip() == id && !b->icon().isNull());
        if (!shown)
            ++withoutPicture;
        latencyMs.push_back(ms);
    });

    std::vector<double> fetchDecodeMs;
    for (int r = 0; r < rounds; ++r) {
        const size_t before = latencyMs.size();
        // With its global position: Qt 6 deprecates the constructor without one.
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10),
                          QPointF(window.mapToGlobal(QPoint(10, 10))), Qt::RightButton,
                          Qt::RightButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &press);
        if (!bench::waitFor([&] { return latencyMs.size() > before && !onDiscovery; }, 10000)) {
            std::fprintf(stderr, "discovery: round %d got no reply\n", r);
            return 1;
        }
        // The same preview, fetched and decoded alone. txsim draws a fresh
        // picture once a second and serves that second's copy to later
        // requests; the program's fetch always comes seconds after the last
        // one, so these wait for a new second too.
        for (int k = 0; k < 2; ++k) {
            const int64_t ms = bench::nsOf(CLOCK_REALTIME) / 1000000;
            QThread::msleep(unsigned(1000 - ms % 1000 + 5));
            const int64_t t0 = bench::monoNs();
            if (!fetchAndDecode(url))
                return 1;
            fetchDecodeMs.push_back(double(bench::monoNs() - t0) / 1e6);
        }
    }
    const double lat = bench::median(latencyMs), fd0 = bench::median(fetchDecodeMs);
    std::printf("discovery replies %zu (without picture %d)  reply-to-button median %.2f ms "
                "(min %.2f, max %.2f)  fetch+decode alone median %.2f ms  overhead %.2f ms "
                "(goal <= 5 ms)\n",
                latencyMs.size(), withoutPicture, lat,
                *std::min_element(latencyMs.begin(), latencyMs.end()),
                *std::max_element(latencyMs.begin(), latencyMs.end()), fd0, lat - fd0);
    std::printf("discovery stages (medians): arrival to announcement %.2f ms, announcement to "
                "decoded picture (the program's fetch and decode) %.2f ms, picture to button "
                "%.2f ms\n",
                bench::median(toHandlerMs), bench::median(fetchDecodeInProgramMs),
                bench::median(buttonMs));
    std::fflush(stdout);
    _exit(withoutPicture == 0 ? 0 : 1);
}
