// Refresh-pass benchmark: CPU time per source of one refresh pass against
// transmitters served by txsim on loopback, in one of four modes:
//   sourcebar    the program's own pass, client.onRefreshPreview(), with its
//                window and bar (sources found by the program's discovery);
//   reference    the mandated work done directly, with the same window, bar,
//                font and style sheet: per source a fresh access manager, one
//                GET waited in a local event loop, one QPixmap::loadFromData,
//                the picture set as its button's icon, the button painted once;
//   fetchdecode  the same fetch and decode without any widget;
//   raw          the physical floor: one blocking socket GET and one
//                libjpeg-turbo decode per source;
//   rawshown     the shown-size floor: the same GET and a libjpeg-turbo decode
//                at the smallest reduced DCT scale (M/8) that still covers the
//                picture's fit into 400 x 300, the largest size ever shown.
//   bench_refresh --mode M --count N [--passes K] [--warmup W] [--port P]
//                 [--pixmap-cache-kib L]   (sets QPixmapCache's limit, for diagnosis)
//                 [--heap-limit 1]         (sourcebar mode with the old fixed mmap threshold)
//                 [--smaps PREFIX]         (copies /proc/self/smaps to PREFIX.bare before the
//                                           sources are found and PREFIX.first after the first
//                                           pass)
// Prints one "refresh ..." line; the median is over the K measured passes.
// rss_growth_kib is VmRSS after the first pass less VmRSS before the sources
// were found (sourcebar) or before the first pass (the other modes).
// stall_ms is the longest time the GUI thread was busy in one piece during a
// pass (from waking up, or the pass's start, to the next wait for events): the
// delay a click or a hover can meet; stall_cpu_ms is the GUI thread's CPU time
// in its longest stretch; both the median over the passes.
// In sourcebar mode, before discovery, the program fetches the first two
// sources through its own chain: first_fetch_rss_kib and next_fetch_rss_kib
// are VmRSS growth over each, so the one-time cost of the first fetch is
// their difference; rss_after_first_kib is VmRSS after the first pass and
// threads_after_first lists the threads after it.
#include "benchcommon.h"
#include "benchnet.h"
#include "downloader.h"
#include "udpclient.h"
#include "widget.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QHBoxLayout>
#include <QIcon>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPixmap>
#include <QPixmapCache>
#include <QThread>
#include <QToolButton>
#include <QUrl>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <functional>
#include <jpeglib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Source
{
    QString ip, name, url;
};

QList<Source> sourcesOf(int count, int port)
{
    QList<Source> list;
    for (int i = 1; i <= count; ++i) {
        const QString ip = QStringLiteral("127.0.0.%1").arg(10 + i);
        list.append({ip, QStringLiteral("Camera %1").arg(i),
                     QStringLiteral("http://%1:%2/snap.jpg").arg(ip).arg(port)});
    }
    return list;
}

// Counts the paint events that reach the bar's buttons.
class PaintCounter : public QObject
{
public:
    int paints = 0;
    bool eventFilter(QObject *obj, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && qobject_cast<QToolButton *>(obj))
            ++paints;
        return false;
    }
};

// The longest busy stretch of the GUI thread: from its waking up (or start())
// to its next wait for events, nested event loops included; in wall time and
// in the thread's own CPU time (which the machine's load does not stretch).
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        QAbstractEventDispatcher *d = QAbstractEventDispatcher::instance();
        connect(d, &QAbstractEventDispatcher::awake, this, [this] {
            if (m_from < 0)
                open();
        });
        connect(d, &QAbstractEventDispatcher::aboutToBlock, this, [this] { close(); });
    }
    void start()
    {
        m_longest = m_longestCpu = 0;
        open();
    }
    // The longest stretch since start(), wall and CPU, in ms.
    std::pair<double, double> finishMs()
    {
        close();
        return {double(m_longest) / 1e6, double(m_longestCpu) / 1e6};
    }

private:
    void open()
    {
        m_from = bench::monoNs();
        m_fromCpu = bench::nsOf(CLOCK_THREAD_CPUTIME_ID);
    }
    void close()
    {
        if (m_from < 0)
            return;
        m_longest = std::max(m_longest, bench::monoNs() - m_from);
        m_longestCpu = std::max(m_longestCpu, bench::nsOf(CLOCK_THREAD_CPUTIME_ID) - m_fromCpu);
        m_from = -1;
    }
    int64_t m_from = -1, m_fromCpu = 0, m_longest = 0, m_longestCpu = 0;
};

// Lets every posted event, the last button's repaint included, run.
void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

QByteArray rawGet(const QString &ip, int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(quint16(port));
    inet_pton(AF_INET, ip.toLatin1().constData(), &addr.sin_addr);
    QByteArray response;
    if (::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        const QByteArray request =
            "GET /snap.jpg HTTP/1.1\r\nHost: " + ip.toLatin1() + "\r\nConnection: close\r\n\r\n";
        if (::write(s, request.constData(), size_t(request.size())) == request.size()) {
            char buf[65536];
            ssize_t n;
            while ((n = ::read(s, buf, sizeof buf)) > 0)
                response.append(buf, int(n));
        }
    }
    ::close(s);
    const int head = response.indexOf("\r\n\r\n");
    return head < 0 ? QByteArray() : response.mid(head + 4);
}

// Decodes a JPEG to BGRX with libjpeg-turbo; returns the pixel count. With a
// valid cover, libjpeg scales by the smallest M/8 whose output covers it.
long jpegDecode(const QByteArray &body, std::vector<unsigned char> &pixels, QSize cover = QSize())
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(body.constData()),
                 static_cast<unsigned long>(body.size()));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return 0;
    }
    cinfo.out_color_space = JCS_EXT_BGRX; // the layout of Qt's 32-bit pictures
    if (cover.isValid() && cinfo.image_width > 0 && cinfo.image_height > 0) {
        const QSize fit = QSize(int(cinfo.image_width), int(cinfo.image_height))
                              .scaled(cover, Qt::KeepAspectRatio);
        unsigned m = 1;
        while (m < 8 && (cinfo.image_width * m < unsigned(fit.width()) * 8 ||
                         cinfo.image_height * m < unsigned(fit.height()) * 8))
            ++m;
        cinfo.scale_num = m;
        cinfo.scale_denom = 8;
    }
    jpeg_start_decompress(&cinfo);
    const size_t stride = size_t(cinfo.output_width) * size_t(cinfo.output_components);
    pixels.resize(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        unsigned char *row = pixels.data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    const long count = long(cinfo.output_width) * long(cinfo.output_height);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QString mode = QStringLiteral("sourcebar");
    int count = 9, passes = 15, warmup = 3, port = 8080, pixmapCacheKib = -1, heapLimit = 0;
    QString smapsPrefix;
    int trim = 0;
    // Where the resident memory is, mapping by mapping, for a breakdown of the growth.
    const auto saveSmaps = [&smapsPrefix](const char *suffix) {
        if (smapsPrefix.isEmpty())
            return;
        QFile in(QStringLiteral("/proc/self/smaps"));
        QFile out(smapsPrefix + QLatin1Char('.') + QLatin1String(suffix));
        if (in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly))
            out.write(in.readAll());
    };
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &k = args.at(i);
        const QString &v = args.at(i + 1);
        if (k == QLatin1String("--mode"))
            mode = v;
        else if (k == QLatin1String("--count"))
            count = v.toInt();
        else if (k == QLatin1String("--passes"))
            passes = v.toInt();
        else if (k == QLatin1String("--warmup"))
            warmup = v.toInt();
        else if (k == QLatin1String("--port"))
            port = v.toInt();
        else if (k == QLatin1String("--pixmap-cache-kib"))
            pixmapCacheKib = v.toInt();
        else if (k == QLatin1String("--heap-limit"))
            heapLimit = v.toInt();
        else if (k == QLatin1String("--smaps"))
            smapsPrefix = v;
        else if (k == QLatin1String("--trim"))
            trim = v.toInt();
    }
    // The pass's own debug lines would cost terminal time that is not the pass's.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    bench::installLook(app);
    const QList<Source> sources = sourcesOf(count, port);

    PaintCounter counter;
    app.installEventFilter(&counter);
    std::function<void()> pass;

    // Objects of the modes with a window.
    Widget *program = nullptr;
    QWidget *window = nullptr;
    QList<QToolButton *> buttons;

    long rssBefore = -1, firstFetchKib = -1, nextFetchKib = -1;
    if (mode == QLatin1String("sourcebar")) {
        if (heapLimit)
            bench::limitHeapGrowth();
        program = new Widget;
        program->show();
        settle();
        rssBefore = bench::statusValue("VmRSS");
        saveSmaps("bare");
        // The first fetch of the process carries Qt's one-time set-up; the
        // second one costs what every further source costs.
        long rss = rssBefore;
        for (int i = 0; i < std::min(2, int(sources.size())); ++i) {
            emit client.sourceUpdated(sources.at(i).ip, sources.at(i).name, sources.at(i).url);
            settle();
            const long now = bench::statusValue("VmRSS");
            (i == 0 ? firstFetchKib : nextFetchKib) = now - rss;
            saveSmaps(i == 0 ? "fetch1" : "fetch2");
            rss = now;
        }
        client.discovery();
        if (!bench::waitFor([&] { return client.jsonList.size() >= count && !onDiscovery; },
                            60000)) {
            std::fprintf(stderr, "refresh: discovery found %d of %d transmitters\n",
                         int(client.jsonList.size()), count);
            return 1;
        }
        pass = [] {
            client.onRefreshPreview();
        };
    } else if (mode == QLatin1String("reference")) {
        // The program's window and bar, built by hand.
        window = new QWidget;
        window->setFixedSize(1920, 1080);
        window->setAttribute(Qt::WA_TranslucentBackground);
        auto *bar = new QWidget(window);
        bar->setGeometry(QRect(60, 792, 9 * 200, 165));
        bar->setFixedHeight(165);
        auto *layout = new QHBoxLayout(bar);
        layout->setAlignment(Qt::AlignCenter);
        layout->setSpacing(0);
        layout->setContentsMargins(0, 0, 0, 0);
        for (const Source &s : sources) {
            auto *b = new QToolButton(bar);
            b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
            b->setToolTip(s.ip);
            b->setText(s.name);
            b->setMinimumSize(200, 155);
            b->resize(200, 150);
            b->setIconSize(QSize(200, 150));
            layout->addWidget(b);
            buttons.append(b);
        }
        window->show();
        pass = [&] {
            for (int i = 0; i < sources.size(); ++i) {
                QPixmap pic;
                pic.loadFromData(bench::qtFetch(sources.at(i).url));
                buttons.at(i)->setIcon(QIcon(pic));
            }
        };
    } else if (mode == QLatin1String("fetchdecode")) {
        pass = [&] {
            for (const Source &s : sources) {
                QPixmap pic;
                pic.loadFromData(bench::qtFetch(s.url));
            }
        };
    } else if (mode == QLatin1String("raw")) {
        pass = [&] {
            std::vector<unsigned char> pixels;
            for (const Source &s : sources)
                jpegDecode(rawGet(s.ip, port), pixels);
        };
    } else if (mode == QLatin1String("rawshown")) {
        pass = [&] {
            std::vector<unsigned char> pixels;
            for (const Source &s : sources)
                jpegDecode(rawGet(s.ip, port), pixels, QSize(400, 300));
        };
    } else {
        std::fprintf(stderr, "refresh: unknown mode %s\n", qPrintable(mode));
        return 2;
    }
    // Diagnosis: the window limits Qt's pixmap cache (scaled icon copies); this
    // overrides the limit in any mode.
    if (pixmapCacheKib >= 0)
        QPixmapCache::setCacheLimit(pixmapCacheKib);
    settle();
    if (rssBefore < 0)
        rssBefore = bench::statusValue("VmRSS");
    long rssAfterFirst = -1;
    QString threadsAfterFirst;

    StallMeter stalls;
    std::vector<double> cpuUsPerSource, wallMsPerPass, paintsPerPass, stallMs, stallCpuMs;
    for (int p = 0; p < warmup + passes; ++p) {
        counter.paints = 0;
        stalls.start();
        const int64_t c0 = bench::cpuNs(), w0 = bench::monoNs();
        pass();
        settle();
        const int64_t c1 = bench::cpuNs(), w1 = bench::monoNs();
        const auto stall = stalls.finishMs();
        if (p == 0) {
            if (trim)
                malloc_trim(0);
            rssAfterFirst = bench::statusValue("VmRSS");
            saveSmaps("first");
            QStringList names = bench::threadNames();
            names.sort();
            threadsAfterFirst = names.join(QLatin1Char(','));
        }
        if (p < warmup)
            continue;
        cpuUsPerSource.push_back(double(c1 - c0) / 1e3 / count);
        wallMsPerPass.push_back(double(w1 - w0) / 1e6);
        paintsPerPass.push_back(counter.paints);
        stallMs.push_back(stall.first);
        stallCpuMs.push_back(stall.second);
    }
    // A sourcebar pass must have given each button a picture.
    if (program) {
        const auto list = program->findChildren<QToolButton *>();
        int withPicture = 0;
        for (QToolButton *b : list)
            withPicture += b->icon().isNull() ? 0 : 1;
        if (withPicture != count) {
            std::fprintf(stderr, "refresh: %d of %d buttons have a picture\n", withPicture, count);
            return 1;
        }
    }
    std::printf("refresh mode=%s sources=%d passes=%d cpu_us_per_source=%.1f "
                "wall_ms_per_pass=%.2f button_paints_per_pass=%.0f rss_growth_kib=%ld "
                "stall_ms=%.2f stall_cpu_ms=%.2f first_fetch_rss_kib=%ld next_fetch_rss_kib=%ld "
                "rss_after_first_kib=%ld threads_after_first=%s\n",
                qPrintable(mode), count, passes, bench::median(cpuUsPerSource),
                bench::median(wallMsPerPass), bench::median(paintsPerPass),
                rssAfterFirst - rssBefore, bench::median(stallMs), bench::median(stallCpuMs),
                firstFetchKib, nextFetchKib, rssAfterFirst,
                qPrintable(threadsAfterFirst.replace(QLatin1Char(' '), QLatin1Char('_'))));
    std::fflush(stdout);
    // Quick exit: the global client and downloader outlive the application object.
    _exit(0);
}
