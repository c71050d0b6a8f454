// txsim: plays a set of video transmitters on loopback addresses 127.0.0.11,
// 127.0.0.12, ... for the receiver to discover, preview and select.

#include "discovery.h"
#include "logline.h"
#include "previewserver.h"
#include "signalquit.h"
#ifdef TOOLS_VIDEO
#include "streamer.h"
#endif
#include "testcard.h"
#include "transmitter.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QSet>
#include <QTimer>

#include <cstdlib>
#include <utility>

namespace {

constexpr int maxTransmitters = 200; // keeps 127.0.0.(10+i) a valid address

const QStringList &acceptedModels()
{
    static const QStringList models{QStringLiteral("618204-TX"), QStringLiteral("618205-TX"),
                                    QStringLiteral("47130")};
    return models;
}

[[noreturn]] void fail(const QString &message)
{
    logLine(QStringLiteral("txsim: %1").arg(message));
    std::exit(2);
}

// "1,3" or "all" -> {1, 3}; indices are 1-based.
QSet<int> parseList(const QString &option, const QString &text, int count)
{
    QSet<int> set;
    if (text.trimmed() == QLatin1String("all")) {
        for (int i = 1; i <= count; ++i)
            set.insert(i);
        return set;
    }
    const QStringList items = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &item : items) {
        bool ok = false;
        const int i = item.trimmed().toInt(&ok);
        if (!ok || i < 1 || i > count)
            fail(QStringLiteral("--%1: \"%2\" is not a transmitter index 1..%3")
                     .arg(option, item)
                     .arg(count));
        set.insert(i);
    }
    return set;
}

int parseNumber(const QString &option, const QString &text, int min, int max)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < min || n > max)
        fail(QStringLiteral("--%1: \"%2\" is not a number in %3..%4")
                 .arg(option, text)
                 .arg(min)
                 .arg(max));
    return n;
}

} // namespace

int main(int argc, char *argv[])
{
    // Test cards are painted without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("txsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Transmitter simulator: answers discovery on UDP 3600 for N transmitters at "
        "127.0.0.11, 127.0.0.12, ... and serves each one's live JPEG preview over HTTP "
        "and its live video (H.264 in MPEG-TS) to its multicast TSurl_1.\n"
        "LIST is comma-separated 1-based transmitter indices, or \"all\".\n"
        "Run it only inside a private network namespace."));
    parser.addHelpOption();

    struct Opt
    {
        const char *name;
        const char *help;
        const char *value; // nullptr for a flag
        const char *fallback;
    };
    const Opt opts[] = {
        {"count", "Number of transmitters (default 4).", "N", "4"},
        {"size", "Preview picture size (default 1280x720).", "WxH", "1280x720"},
        {"http-port", "Preview HTTP port on every transmitter address (default 8080).", "port",
         "8080"},
        {"port", "Discovery UDP port (default 3600).", "port", "3600"},
        {"name-prefix", "Display names are prefix + index (default \"Camera \").", "text",
         "Camera "},
        {"reply-delay", "Wait this long before answering a discovery request.", "ms", "0"},
        {"no-ts", "These transmitters announce isTS_1 \"0\".", "LIST", ""},
        {"bad-model", "These transmitters announce the unaccepted model \"618204-tx\".", "LIST",
         ""},
        {"twice", "These transmitters answer each request twice.", "LIST", ""},
        {"bare", "These transmitters answer with JSON that has no frame.", "LIST", ""},
        {"garbage", "Send random bytes and a truncated frame before every good reply.", nullptr,
         ""},
        {"hang", "Preview server accepts and never answers.", "LIST", ""},
        {"drip", "Preview server sends one byte a second, forever.", "LIST", ""},
        {"status404", "Preview server answers 404.", "LIST", ""},
        {"text", "Preview server answers 200 with an HTML page.", "LIST", ""},
        {"redirect", "Preview server answers 301 (see --redirect-to).", "LIST", ""},
        {"redirect-to",
         "Redirect target (default the same server's /redirected.jpg, which serves "
         "the card).",
         "URL", ""},
        {"endless", "Preview server sends an image/jpeg body that never ends.", "LIST", ""},
        {"huge", "Preview server sends a small JPEG declaring 16000x16000.", "LIST", ""},
        {"stream",
         "When streams are sent: \"listened\" (default: only while a socket in this network "
         "namespace has joined the group), \"always\" or \"off\".",
         "MODE", "listened"},
        {"stream-size", "Video size (default 480x270).", "WxH", "480x270"},
        {"stream-fps", "Video frame rate (default 10).", "N", "10"},
        {"silent", "These transmitters announce a stream but never send it.", "LIST", ""},
        {"stream-stop", "These transmitters' streams stop for good (see --stream-stop-after).",
         "LIST", ""},
        {"stream-stop-after", "Seconds a stopping stream runs (default 3).", "S", "3"},
        {"preview-stop",
         "These transmitters' preview servers stop listening after --preview-stop-after "
         "seconds: the receiver's fetches are refused.",
         "LIST", ""},
        {"preview-stop-after", "Seconds a stopping preview server serves (default 10).", "S", "10"},
        {"preview-back-after",
         "Seconds after the start at which a stopped preview server listens again (default "
         "0: never).",
         "S", "0"},
    };
    for (const Opt &o : opts) {
        if (o.value)
            parser.addOption(
                QCommandLineOption(QString::fromLatin1(o.name), QString::fromLatin1(o.help),
                                   QString::fromLatin1(o.value), QString::fromLatin1(o.fallback)));
        else
            parser.addOption(
                QCommandLineOption(QString::fromLatin1(o.name), QString::fromLatin1(o.help)));
    }
    parser.process(app);
    const auto value = [&parser](const char *name) {
        return parser.value(QString::fromLatin1(name));
    };

    const int count = parseNumber(QStringLiteral("count"), value("count"), 1, maxTransmitters);
    const int httpPort = parseNumber(QStringLiteral("http-port"), value("http-port"), 1, 65535);
    const int udpPort = parseNumber(QStringLiteral("port"), value("port"), 1, 65535);
    const int replyDelay =
        parseNumber(QStringLiteral("reply-delay"), value("reply-delay"), 0, 600000);
    const QStringList wh = value("size").split(QLatin1Char('x'));
    if (wh.size() != 2)
        fail(QStringLiteral("--size: \"%1\" is not WxH").arg(value("size")));
    const QSize size(parseNumber(QStringLiteral("size"), wh.at(0), 16, 8192),
                     parseNumber(QStringLiteral("size"), wh.at(1), 16, 8192));
    const QString streamMode = value("stream");
    if (streamMode != QLatin1String("listened") && streamMode != QLatin1String("always") &&
        streamMode != QLatin1String("off"))
        fail(QStringLiteral("--stream: \"%1\" is not listened, always or off").arg(streamMode));
    const QStringList swh = value("stream-size").split(QLatin1Char('x'));
    if (swh.size() != 2)
        fail(QStringLiteral("--stream-size: \"%1\" is not WxH").arg(value("stream-size")));
    // H.264 in 4:2:0 wants even sizes.
    const QSize streamSize(parseNumber(QStringLiteral("stream-size"), swh.at(0), 16, 1920) & ~1,
                           parseNumber(QStringLiteral("stream-size"), swh.at(1), 16, 1080) & ~1);
    const int streamFps = parseNumber(QStringLiteral("stream-fps"), value("stream-fps"), 1, 30);
    const int stopAfter =
        parseNumber(QStringLiteral("stream-stop-after"), value("stream-stop-after"), 0, 86400);

    const auto list = [&](const char *name) {
        return parseList(QString::fromLatin1(name), value(name), count);
    };
    const int previewStopAfter =
        parseNumber(QStringLiteral("preview-stop-after"), value("preview-stop-after"), 0, 86400);
    const int previewBackAfter =
        parseNumber(QStringLiteral("preview-back-after"), value("preview-back-after"), 0, 86400);
    if (previewBackAfter > 0 && previewBackAfter <= previewStopAfter)
        fail(QStringLiteral("--preview-back-after must be later than --preview-stop-after"));
    const QSet<int> previewStop = list("preview-stop");
    const QSet<int> noTs = list("no-ts"), badModel = list("bad-model"), twice = list("twice"),
                    bare = list("bare"), silent = list("silent"), stopping = list("stream-stop");
    const std::pair<const char *, PreviewFault> faultOptions[] = {
        {"hang", PreviewFault::Hang},           {"drip", PreviewFault::Drip},
        {"status404", PreviewFault::Status404}, {"text", PreviewFault::Text},
        {"redirect", PreviewFault::Redirect},   {"endless", PreviewFault::Endless},
        {"huge", PreviewFault::Huge},
    };
    QList<QSet<int>> faultLists;
    for (const auto &f : faultOptions)
        faultLists << list(f.first);

    QList<Transmitter> transmitters;
    for (int i = 1; i <= count; ++i) {
        Transmitter t;
        t.index = i;
        t.ip = QStringLiteral("127.0.0.%1").arg(10 + i);
        t.name = value("name-prefix") + QString::number(i);
        t.model = badModel.contains(i) ? QStringLiteral("618204-tx")
                                       : acceptedModels().at((i - 1) % acceptedModels().size());
        t.ts = !noTs.contains(i);
        t.httpPort = static_cast<quint16>(httpPort);
        t.redirectTo = value("redirect-to").isEmpty()
                           ? QStringLiteral("http://%1:%2/redirected.jpg").arg(t.ip).arg(httpPort)
                           : value("redirect-to");
        t.twice = twice.contains(i);
        t.bare = bare.contains(i);
        // Hues spread by the golden angle so neighbours never look alike.
        t.colour = QColor::fromHsv((i - 1) * 137 % 360, 200, 170);
        for (int f = 0; f < faultLists.size(); ++f) {
            if (!faultLists.at(f).contains(i))
                continue;
            if (t.preview != PreviewFault::None)
                fail(QStringLiteral("transmitter %1 has two preview faults (%2, %3)")
                         .arg(i)
                         .arg(faultName(t.preview), QString::fromLatin1(faultOptions[f].first)));
            t.preview = faultOptions[f].second;
        }
        transmitters.append(t);
    }

    if (!quitOnSignals(QStringLiteral("txsim"))) {
        logLine(QStringLiteral("txsim: cannot install signal handlers"));
        return 1;
    }

    TestCard card(size);
    for (const Transmitter &t : std::as_const(transmitters)) {
        auto *server = new PreviewServer(t, &card, &app);
        if (!server->start())
            return 1;
        if (previewStop.contains(t.index)) {
            QTimer::singleShot(previewStopAfter * 1000, server, &PreviewServer::stop);
            if (previewBackAfter > 0)
                QTimer::singleShot(previewBackAfter * 1000, server, &PreviewServer::start);
        }
        QStringList traits;
        if (t.twice)
            traits << QStringLiteral("twice");
        if (t.bare)
            traits << QStringLiteral("bare");
        logLine(
            QStringLiteral("txsim: transmitter %1 ip %2 name \"%3\" model %4 ts %5 %6 preview %7 "
                           "(%8)")
                .arg(t.index)
                .arg(t.ip, t.name, t.model, t.ts ? QStringLiteral("1") : QStringLiteral("0"),
                     t.tsUrl(), t.jpegUrl(),
                     (QStringList{faultName(t.preview)} + traits).join(QLatin1Char(','))));
    }

    if (streamMode != QLatin1String("off")) {
#ifdef TOOLS_VIDEO
        QString why;
        if (!Streamer::initialise(&why))
            fail(why);
        for (const Transmitter &t : std::as_const(transmitters)) {
            if (!t.ts)
                continue;
            StreamOptions o;
            o.mode =
                streamMode == QLatin1String("always") ? StreamMode::Always : StreamMode::Listened;
            o.size = streamSize;
            o.fps = streamFps;
            o.silent = silent.contains(t.index);
            o.stopAfterS = stopping.contains(t.index) ? stopAfter : -1;
            new Streamer(t, o, &app);
            logLine(QStringLiteral("txsim: transmitter %1 stream %2 %3")
                        .arg(t.index)
                        .arg(t.tsUrl(), o.silent ? QStringLiteral("silent")
                                        : o.stopAfterS >= 0
                                            ? QStringLiteral("stops after %1 s").arg(o.stopAfterS)
                                        : o.mode == StreamMode::Always
                                            ? QStringLiteral("always")
                                            : QStringLiteral("when listened")));
        }
#else
        Q_UNUSED(streamSize)
        Q_UNUSED(streamFps)
        Q_UNUSED(stopAfter)
        Q_UNUSED(silent)
        Q_UNUSED(stopping)
        logLine(QStringLiteral("txsim: built without GStreamer: no streams"));
#endif
    }

    Discovery discovery(transmitters, replyDelay, parser.isSet(QStringLiteral("garbage")));
    if (!discovery.start(static_cast<quint16>(udpPort)))
        return 1;

    logLine(QStringLiteral("txsim: ready"));
    return app.exec();
}
