// playerd: stands in for the player service. Receives the play commands the
// receiver sends to UDP 127.0.0.1:3601, prints what it was told and, given an X
// display, plays the stream full screen below every other window.

#include "frame.h"
#include "logline.h"
#include "signalquit.h"
#ifdef TOOLS_VIDEO
#include "video.h"
#endif

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonArray>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <functional>

namespace {

// Walks data[0].player[0].src_onplaying; an empty result comes with a reason.
QString playUrl(const QJsonObject &command, QString *reason)
{
    if (command.value(QLatin1String("cmd")).toString() != QLatin1String("set_param_player")) {
        *reason = QStringLiteral("cmd is not \"set_param_player\"");
        return {};
    }
    const QJsonArray data = command.value(QLatin1String("data")).toArray();
    if (data.isEmpty() || !data.at(0).isObject()) {
        *reason = QStringLiteral("no data[0] object");
        return {};
    }
    const QJsonArray player = data.at(0).toObject().value(QLatin1String("player")).toArray();
    if (player.isEmpty() || !player.at(0).isObject()) {
        *reason = QStringLiteral("no data[0].player[0] object");
        return {};
    }
    const QJsonValue src = player.at(0).toObject().value(QLatin1String("src_onplaying"));
    if (!src.isString()) {
        *reason = QStringLiteral("no src_onplaying string");
        return {};
    }
    if (src.toString().isEmpty()) {
        *reason = QStringLiteral("src_onplaying is empty");
        return {};
    }
    return src.toString();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("playerd"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Player stand-in: prints each play command received on UDP 127.0.0.1:3601 and, when "
        "$DISPLAY is set, plays its udp:// MPEG-TS stream full screen below other windows."));
    parser.addHelpOption();
    const QCommandLineOption rawOption(
        QStringLiteral("raw"),
        QStringLiteral("Also print each good frame's payload byte for byte."));
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("UDP port to listen on (default 3601)."),
        QStringLiteral("port"), QString::number(toolframe::playerPort));
    const QCommandLineOption noVideoOption(QStringLiteral("no-video"),
                                           QStringLiteral("Only print, even with a display."));
    parser.addOption(rawOption);
    parser.addOption(portOption);
    parser.addOption(noVideoOption);
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port == 0 || port > 65535) {
        logLine(QStringLiteral("playerd: bad --port %1").arg(parser.value(portOption)));
        return 2;
    }
    const bool raw = parser.isSet(rawOption);

    if (!quitOnSignals(QStringLiteral("playerd"))) {
        logLine(QStringLiteral("playerd: cannot install signal handlers"));
        return 1;
    }

    QUdpSocket socket;
    // No address sharing: a second listener would silently steal the commands.
    if (!socket.bind(QHostAddress::LocalHost, static_cast<quint16>(port))) {
        logLine(QStringLiteral("playerd: cannot bind 127.0.0.1:%1: %2")
                    .arg(port)
                    .arg(socket.errorString()));
        return 1;
    }

    // Only print without a display (the tests, a headless run).
    std::function<void(const QString &)> play = [](const QString &) {
    };
    bool video = false;
    QString noVideo;
#ifdef TOOLS_VIDEO
    if (!parser.isSet(noVideoOption) && !qEnvironmentVariableIsEmpty("DISPLAY")) {
        if (VideoPlayer *player = VideoPlayer::create(&noVideo, &app)) {
            play = [player](const QString &url) {
                player->play(url);
            };
            video = true;
        }
    }
#endif

    QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [&socket, raw, play]() {
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram();
            const QByteArray bytes = datagram.data();
            const toolframe::Unwrapped frame =
                toolframe::unwrapFrame(bytes, toolframe::requestMarker);
            if (!frame.ok) {
                logLine(QStringLiteral("playerd: bad frame: %1 (%2 bytes)")
                            .arg(frame.reason)
                            .arg(bytes.size()));
                continue;
            }
            const toolframe::ParsedJson json = toolframe::parseObject(frame.payload);
            QString url;
            if (!json.ok) {
                logLine(QStringLiteral("playerd: bad json: %1").arg(json.error));
            } else {
                QString reason;
                url = playUrl(json.object, &reason);
                if (url.isEmpty())
                    logLine(QStringLiteral("playerd: not a play command: %1").arg(reason));
                else
                    logLine(QStringLiteral("playerd: play %1").arg(url));
            }
            if (raw)
                logRaw(QByteArrayLiteral("playerd: payload "), frame.payload);
            if (json.ok && !url.isEmpty())
                play(url);
        }
    });

    logLine(QStringLiteral("playerd: listening on 127.0.0.1:%1").arg(port));
    if (video)
        logLine(QStringLiteral("playerd: video on %1").arg(qEnvironmentVariable("DISPLAY")));
    else if (!noVideo.isEmpty())
        logLine(QStringLiteral("playerd: no video: %1").arg(noVideo));
    return app.exec();
}
