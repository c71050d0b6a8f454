#include "streamer.h"

#include "logline.h"
#include "testcard.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QTimer>
#include <QUrl>
#include <QtEndian>

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <cstring>

namespace {

// Element names the pipeline needs, with the Debian package that has each.
const char *const neededElements[][2] = {
    {"appsrc", "gstreamer1.0-plugins-base"},   {"videoconvert", "gstreamer1.0-plugins-base"},
    {"x264enc", "gstreamer1.0-plugins-ugly"},  {"h264parse", "gstreamer1.0-plugins-bad"},
    {"mpegtsmux", "gstreamer1.0-plugins-bad"}, {"udpsink", "gstreamer1.0-plugins-good"},
};

} // namespace

bool Streamer::initialise(QString *why)
{
    GError *error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
        *why = QStringLiteral("GStreamer: %1")
                   .arg(QString::fromUtf8(error ? error->message : "cannot initialise"));
        g_clear_error(&error);
        return false;
    }
    for (const auto &e : neededElements) {
        GstElementFactory *factory = gst_element_factory_find(e[0]);
        if (!factory) {
            *why = QStringLiteral("GStreamer element %1 is missing (package %2)")
                       .arg(QLatin1String(e[0]), QLatin1String(e[1]));
            return false;
        }
        gst_object_unref(factory);
    }
    return true;
}

bool Streamer::groupJoined(const QString &group)
{
    // /proc/net/igmp prints each joined group as the 32-bit word in memory
    // (network order) in hex; it is per network namespace. One read serves
    // every transmitter's poll of the same moment.
    static QList<QByteArray> words;
    static QElapsedTimer age;
    if (!age.isValid() || age.elapsed() > 100) {
        QFile file(QStringLiteral("/proc/net/igmp"));
        words = file.open(QIODevice::ReadOnly) ? file.readAll().simplified().split(' ')
                                               : QList<QByteArray>{};
        age.start();
    }
    const quint32 be = qToBigEndian(QHostAddress(group).toIPv4Address());
    return words.contains(QByteArray::number(be, 16).rightJustified(8, '0').toUpper());
}

Streamer::Streamer(const Transmitter &t, const StreamOptions &options, QObject *parent)
    : QObject(parent), m_t(t), m_options(options), m_pollTimer(new QTimer(this)),
      m_frameTimer(new QTimer(this))
{
    const QUrl url(t.tsUrl());
    m_group = url.host();
    m_port = static_cast<quint16>(url.port(5000));
    m_frameTimer->setInterval(1000 / qMax(1, m_options.fps));
    m_frameTimer->setTimerType(Qt::PreciseTimer);
    connect(m_frameTimer, &QTimer::timeout, this, &Streamer::pushFrame);
    connect(m_pollTimer, &QTimer::timeout, this, &Streamer::poll);
    if (m_options.mode == StreamMode::Off || m_options.silent)
        return;
    // A quarter second: a new listener waits little for its first picture.
    m_pollTimer->start(250);
    QTimer::singleShot(0, this, &Streamer::poll);
}

Streamer::~Streamer()
{
    if (m_pipeline) {
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        gst_object_unref(m_source);
        gst_object_unref(m_pipeline);
    }
}

void Streamer::poll()
{
    if (m_stopped)
        return;
    readBus();
    if (m_pipeline && m_options.stopAfterS >= 0 &&
        QDateTime::currentMSecsSinceEpoch() - m_startedMs >= m_options.stopAfterS * 1000LL) {
        stopPipeline(QStringLiteral("stopped (fault) after %1 s").arg(m_options.stopAfterS));
        m_stopped = true;
        return;
    }
    const bool wanted = m_options.mode == StreamMode::Always || groupJoined(m_group);
    if (wanted && !m_pipeline) {
        if (!startPipeline())
            m_stopped = true;
    } else if (!wanted && m_pipeline) {
        stopPipeline(QStringLiteral("stopped: nobody listens"));
    }
}

bool Streamer::startPipeline()
{
    const int w = m_options.size.width();
    const int h = m_options.size.height();
    // One IDR a second, with the parameter sets before each, so a player that
    // joins late shows a picture within a second. Seven TS packets a datagram.
    const QString description =
        QStringLiteral("appsrc name=card is-live=true do-timestamp=true format=time "
                       "caps=video/x-raw,format=RGBx,width=%1,height=%2,framerate=%3/1 "
                       "! videoconvert ! x264enc speed-preset=ultrafast tune=zerolatency threads=1 "
                       "key-int-max=%3 bitrate=400 ! h264parse config-interval=-1 "
                       "! mpegtsmux alignment=7 ! udpsink host=%4 port=%5 bind-address=%6 "
                       "auto-multicast=false ttl-mc=0 loop=true sync=false async=false")
            .arg(w)
            .arg(h)
            .arg(m_options.fps)
            .arg(m_group)
            .arg(m_port)
            .arg(m_t.ip);
    GError *error = nullptr;
    m_pipeline = gst_parse_launch(description.toUtf8().constData(), &error);
    if (error) {
        logLine(QStringLiteral("txsim: transmitter %1 cannot build its stream: %2")
                    .arg(m_t.index)
                    .arg(QString::fromUtf8(error->message)));
        g_clear_error(&error);
        if (m_pipeline)
            gst_object_unref(m_pipeline);
        m_pipeline = nullptr;
        return false;
    }
    m_source = gst_bin_get_by_name(GST_BIN(m_pipeline), "card");
    if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        readBus();
        if (m_pipeline)
            stopPipeline(QStringLiteral("cannot start"));
        return false;
    }
    m_startedMs = QDateTime::currentMSecsSinceEpoch();
    logLine(QStringLiteral("txsim: transmitter %1 streams to %2 (%3x%4, %5 fps)")
                .arg(m_t.index)
                .arg(m_t.tsUrl())
                .arg(w)
                .arg(h)
                .arg(m_options.fps));
    pushFrame();
    m_frameTimer->start();
    return true;
}

void Streamer::stopPipeline(const QString &why)
{
    m_frameTimer->stop();
    gst_element_set_state(m_pipeline, GST_STATE_NULL);
    gst_object_unref(m_source);
    gst_object_unref(m_pipeline);
    m_source = nullptr;
    m_pipeline = nullptr;
    logLine(QStringLiteral("txsim: transmitter %1 stream %2").arg(m_t.index).arg(why));
}

void Streamer::readBus()
{
    if (!m_pipeline)
        return;
    GstBus *bus = gst_element_get_bus(m_pipeline);
    while (GstMessage *message = gst_bus_pop_filtered(
               bus, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING))) {
        GError *error = nullptr;
        const bool fatal = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
        if (fatal)
            gst_message_parse_error(message, &error, nullptr);
        else
            gst_message_parse_warning(message, &error, nullptr);
        logLine(QStringLiteral("txsim: transmitter %1 stream %2: %3")
                    .arg(m_t.index)
                    .arg(fatal ? QStringLiteral("error") : QStringLiteral("warning"),
                         QString::fromUtf8(error ? error->message : "?")));
        g_clear_error(&error);
        gst_message_unref(message);
        if (fatal) {
            gst_object_unref(bus);
            stopPipeline(QStringLiteral("failed"));
            m_stopped = true;
            return;
        }
    }
    gst_object_unref(bus);
}

void Streamer::pushFrame()
{
    if (!m_source)
        return;
    // The card changes once a second (its clock and marker): paint it once a
    // second and send the same picture in between.
    const QDateTime now = QDateTime::currentDateTime();
    if (now.toSecsSinceEpoch() != m_frameSecond || m_frame.isNull()) {
        m_frame =
            TestCard::render(m_t, m_options.size, now).convertToFormat(QImage::Format_RGBX8888);
        m_frameSecond = now.toSecsSinceEpoch();
    }
    const gsize bytes = static_cast<gsize>(m_frame.sizeInBytes());
    GstBuffer *buffer = gst_buffer_new_allocate(nullptr, bytes, nullptr);
    gst_buffer_fill(buffer, 0, m_frame.constBits(), bytes);
    GST_BUFFER_DURATION(buffer) = GST_SECOND / static_cast<guint64>(qMax(1, m_options.fps));
    // Takes the buffer; a refusal means the pipeline is going down, which the bus tells.
    gst_app_src_push_buffer(GST_APP_SRC(m_source), buffer);
    readBus();
}
