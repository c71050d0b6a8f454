// Soak harness: many refresh passes of the program's own client and window
// against txsim, with faults mixed in. Run by scripts/soak, which starts
//   txsim --count 12 --hang 10 --status404 11 --text 12 --garbage
// so that transmitters 1-9 are good, 10 hangs, 11 answers 404 and 12 sends an
// HTML page; every discovery reply comes after random bytes and a runt frame.
// Each pass:
//   - garbage datagrams go through the reader's path (none may become a record);
//   - the record list is the 9 good sources plus the 404 and text sources, and
//     every --hang-every passes the hung one (4 s by design);
//   - every 10th pass (offset 3) one good source's server is gone (connection
//     refused) and comes back the next pass; every 10th pass (offset 7) one good
//     source is missing from the records and comes back the next pass;
//   - client.onRefreshPreview() runs one pass.
// Checked after every pass: each present, reachable good source got a new,
// non-empty picture on its button; thread and descriptor counts are back at
// their baseline. RSS growth is measured from pass --rss-from to the last pass.
//   bench_soak [--passes N] [--hang-every H] [--rss-from P]
// Exit status 0 when every check and the RSS goal (< 2 MiB growth) hold.
#include "benchcommon.h"
#include "benchnet.h"
#include "downloader.h"
#include "udpclient.h"
#include "widget.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QJsonObject>
#include <QSet>
#include <QThread>
#include <QToolButton>

#include <cstdio>
#include <functional>
#include <unistd.h>
#include <utility>

namespace {

void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

QString ipOf(const QJsonObject &record)
{
    return record.value(QLatin1String("ip")).toString();
}

QByteArray frame(const QByteArray &payload)
{
    QByteArray f("\xFB\xA0", 2);
    f.append(char(((payload.size() + 4) >> 8) & 0xFF)).append(char((payload.size() + 4) & 0xFF));
    return f + payload + QByteArray(4, '\0');
}

} // namespace

int main(int argc, char **argv)
{
    // --heap-limit 1 fixes glibc's mmap threshold as the program once did.
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--heap-limit") == 0 && qstrcmp(argv[i + 1], "1") == 0)
            bench::limitHeapGrowth();
    }
    QApplication app(argc, argv);
    int passes = 2000, hangEvery = 100, rssFrom = 100;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &k = args.at(i);
        const int v = args.at(i + 1).toInt();
        if (k == QLatin1String("--passes"))
            passes = v;
        else if (k == QLatin1String("--hang-every"))
            hangEvery = v;
        else if (k == QLatin1String("--rss-from"))
            rssFrom = v;
    }
    rssFrom = qBound(1, rssFrom, qMax(1, passes / 2));
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    bench::installLook(app);

    Widget window;
    window.show();
    client.discovery();
    if (!bench::waitFor([] { return client.jsonList.size() >= 12 && !onDiscovery; }, 20000)) {
        std::fprintf(stderr, "soak: discovery found %d of 12 transmitters\n",
                     int(client.jsonList.size()));
        return 1;
    }
    QList<QJsonObject> good;
    QJsonObject hung, missing, text;
    for (const QJsonObject &r : std::as_const(client.jsonList)) {
        const int index = ipOf(r).section(QLatin1Char('.'), 3).toInt() - 10;
        if (index >= 1 && index <= 9)
            good.append(r);
        else if (index == 10)
            hung = r;
        else if (index == 11)
            missing = r;
        else if (index == 12)
            text = r;
    }
    if (good.size() != 9 || hung.isEmpty() || missing.isEmpty() || text.isEmpty()) {
        std::fprintf(stderr, "soak: unexpected transmitter set\n");
        return 1;
    }
    const QList<QByteArray> garbage{
        QByteArray("\x00\xff\x13\x37 random", 11),
        QByteArray::fromHex("FBA00004"),
        frame("{\"data\":[{\"model\":\"618204-TX\""),
        frame("{\"data\":[{\"ip\":\"127.0.0.99\",\"model\":\"unknown\"}]}"),
        frame("{\"data\":{}}"),
    };

    QSet<QString> refreshed;
    QObject::connect(&download, &Downloader::imageUpdated,
                     [&](const QString &id, const QString &, QPixmap &pic) {
                         if (!pic.isNull())
                             refreshed.insert(id);
                     });
    const auto iconKeys = [&window] {
        QHash<QString, qint64> keys;
        for (QToolButton *b : window.findChildren<QToolButton *>())
            keys.insert(b->toolTip(), b->icon().isNull() ? 0 : b->icon().cacheKey());
        return keys;
    };

    // Warm-up pass: Qt's one-time set-up (plugins, caches) happens here.
    client.jsonList = good + QList<QJsonObject>{missing, text};
    client.onRefreshPreview();
    settle();
    // Qt's smooth picture scaling (the icons' paint) runs on the global thread
    // pool, whose idle workers ("Thread (pooled)") end 30 s after their last
    // task: they are counted apart from the threads that must be back at
    // their baseline, among them each fetch's HTTP thread.
    const auto pooledThreads = [] {
        return int(bench::threadNames().count(QStringLiteral("Thread (pooled)")));
    };
    const auto ownThreads = [&] {
        return bench::threadCount() - pooledThreads();
    };
    // Each fetch's access manager runs its HTTP thread, "QNetworkAccessManager
    // thread"; none may be alive between fetches, beyond the moment a joined,
    // detached thread needs to leave the kernel.
    const auto networkThreads = [] {
        int n = 0;
        for (const QString &name : bench::threadNames())
            n += name.startsWith(QLatin1String("QNetworkAccess")) ? 1 : 0;
        return n;
    };
    const auto settleThreads = [&](qint64 &waitedMs) {
        QElapsedTimer grace;
        grace.start();
        while (networkThreads() > 0 && grace.elapsed() < 200)
            QThread::usleep(1000);
        waitedMs = grace.elapsed();
        return networkThreads();
    };
    qint64 waited = 0;
    settleThreads(waited);
    const int baseThreads = ownThreads(), baseFds = bench::fdCount();
    int poolMax = pooledThreads();
    std::printf("soak: baseline after warm-up: threads %d (%s), fds %d, RSS %ld KiB\n", baseThreads,
                qPrintable(bench::threadNames().join(QLatin1Char(','))), baseFds,
                bench::statusValue("VmRSS"));

    long rssAtFrom = 0, rssMax = 0;
    qint64 lingerMaxMs = 0;
    int lingerPasses = 0;
    int missedPasses = 0, threadPasses = 0, fdPasses = 0, garbageRecorded = 0, hangPasses = 0;
    long long expectedRefreshes = 0;
    QElapsedTimer clock;
    clock.start();
    for (int p = 1; p <= passes; ++p) {
        for (const QByteArray &g : garbage)
            garbageRecorded += client.handleDatagram(g) ? 1 : 0;

        QList<QJsonObject> list = good;
        QSet<QString> expected;
        for (const QJsonObject &r : std::as_const(good))
            expected.insert(ipOf(r));
        if (p % 10 == 3) {
            const int v = (p / 10) % 9;
            list[v].insert(QStringLiteral("JPEGurl_2"),
                           QStringLiteral("http://127.0.0.99:8080/snap.jpg"));
            expected.remove(ipOf(list.at(v)));
        }
        if (p % 10 == 7) {
            const int v = (p / 10 + 4) % 9;
            expected.remove(ipOf(list.at(v)));
            list.removeAt(v);
        }
        list << missing << text;
        if (hangEvery > 0 && p % hangEvery == 0) {
            list << hung;
            ++hangPasses;
        }
        client.jsonList = list;

        const QHash<QString, qint64> before = iconKeys();
        refreshed.clear();
        client.onRefreshPreview();
        settle();
        const QHash<QString, qint64> after = iconKeys();

        int missed = 0;
        for (const QString &id : std::as_const(expected)) {
            ++expectedRefreshes;
            if (!refreshed.contains(id) || after.value(id) == 0 ||
                after.value(id) == before.value(id))
                ++missed;
        }
        if (missed) {
            ++missedPasses;
            std::printf("soak: pass %d: %d source(s) not refreshed\n", p, missed);
        }
        const QStringList names = bench::threadNames();
        const int network = settleThreads(waited);
        if (waited > 1) {
            ++lingerPasses;
            lingerMaxMs = qMax(lingerMaxMs, waited);
        }
        const int threads = ownThreads();
        poolMax = qMax(poolMax, pooledThreads());
        const int fds = bench::fdCount();
        if (threads != baseThreads || network > 0) {
            ++threadPasses;
            std::printf("soak: pass %d: %d threads (baseline %d), %d network: %s\n", p, threads,
                        baseThreads, network, qPrintable(names.join(QLatin1Char(','))));
        }
        if (fds != baseFds) {
            ++fdPasses;
            std::printf("soak: pass %d: %d fds (baseline %d)\n", p, fds, baseFds);
        }
        const long rss = bench::statusValue("VmRSS");
        rssMax = qMax(rssMax, rss);
        if (p == rssFrom)
            rssAtFrom = rss;
        if (p % 100 == 0 || p == passes)
            std::printf("soak: pass %d: RSS %ld KiB, threads %d, fds %d, %.0f s\n", p, rss, threads,
                        fds, clock.elapsed() / 1000.0);
        std::fflush(stdout);
    }
    const long rssEnd = bench::statusValue("VmRSS");
    const long growth = rssEnd - rssAtFrom;
    // RSS settles only after the first hundred passes or so: short runs report it.
    const bool rssChecked = passes >= 1000;
    const bool ok = missedPasses == 0 && threadPasses == 0 && fdPasses == 0 &&
                    garbageRecorded == 0 && (!rssChecked || growth < 2048);
    std::printf(
        "soak: %d passes (%d with the hung server) in %.0f s; RSS pass %d %ld KiB -> "
        "pass %d %ld KiB: growth %+ld KiB (goal < 2048%s), peak %ld KiB; passes with a "
        "good source not refreshed %d (of %lld expected refreshes); passes off the "
        "thread baseline %d (%d passes waited for a joined HTTP thread to leave, at most %lld "
        "ms; idle pool workers at most %d), off "
        "the fd baseline %d; garbage "
        "datagrams recorded %d: %s\n",
        passes, hangPasses, clock.elapsed() / 1000.0, rssFrom, rssAtFrom, passes, rssEnd, growth,
        rssChecked ? "" : ", checked from 1000 passes on", rssMax, missedPasses, expectedRefreshes,
        threadPasses, lingerPasses, static_cast<long long>(lingerMaxMs), poolMax, fdPasses,
        garbageRecorded, ok ? "PASS" : "FAIL");
    std::fflush(stdout);
    _exit(ok ? 0 : 1);
}
