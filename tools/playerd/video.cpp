#include "video.h"

#include "logline.h"

#include <QTimer>
#include <QUrl>

#include <gst/gst.h>
#include <gst/video/videooverlay.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

// A stream that shows no new frame for this long is reported and blanked.
constexpr qint64 silenceMs = 3000;

const char *const neededElements[][2] = {
    {"udpsrc", "gstreamer1.0-plugins-good"},
    {"tsdemux", "gstreamer1.0-plugins-bad"},
    {"h264parse", "gstreamer1.0-plugins-bad"},
    {"avdec_h264", "gstreamer1.0-libav"},
    {"videoconvert", "gstreamer1.0-plugins-base"},
    {"videoscale", "gstreamer1.0-plugins-base"},
    {"ximagesink", "gstreamer1.0-x"},
};

GstPadProbeReturn countFrame(GstPad *, GstPadProbeInfo *, gpointer counter)
{
    static_cast<std::atomic<quint64> *>(counter)->fetch_add(1, std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

} // namespace

VideoPlayer *VideoPlayer::create(QString *why, QObject *parent)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        *why = QStringLiteral("no display");
        return nullptr;
    }
    GError *error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
        *why = QStringLiteral("GStreamer: %1")
                   .arg(QString::fromUtf8(error ? error->message : "cannot initialise"));
        g_clear_error(&error);
        return nullptr;
    }
    for (const auto &e : neededElements) {
        GstElementFactory *factory = gst_element_factory_find(e[0]);
        if (!factory) {
            *why = QStringLiteral("GStreamer element %1 is missing (package %2)")
                       .arg(QLatin1String(e[0]), QLatin1String(e[1]));
            return nullptr;
        }
        gst_object_unref(factory);
    }
    // ximagesink talks to the server from its own thread over its own connection.
    XInitThreads();
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        *why = QStringLiteral("cannot open display %1").arg(qEnvironmentVariable("DISPLAY"));
        return nullptr;
    }
    const int screen = DefaultScreen(display);
    const int width = DisplayWidth(display, screen);
    const int height = DisplayHeight(display, screen);
    const unsigned long black = BlackPixel(display, screen);
    const Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0,
                                              static_cast<unsigned>(width),
                                              static_cast<unsigned>(height), 0, black, black);
    XStoreName(display, window, "playerd video");
    // A desktop-type window: a window manager keeps it below all others,
    // undecorated and unfocused; without one, XLowerWindow does.
    const Atom type = XInternAtom(display, "_NET_WM_WINDOW_TYPE", False);
    Atom desktop = XInternAtom(display, "_NET_WM_WINDOW_TYPE_DESKTOP", False);
    XChangeProperty(display, window, type, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&desktop), 1);
    const Atom state = XInternAtom(display, "_NET_WM_STATE", False);
    Atom below = XInternAtom(display, "_NET_WM_STATE_BELOW", False);
    XChangeProperty(display, window, state, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&below), 1);
    XMapWindow(display, window);
    XLowerWindow(display, window);
    XFlush(display);
    return new VideoPlayer(display, window, width, height, parent);
}

VideoPlayer::VideoPlayer(_XDisplay *display, unsigned long window, int width, int height,
                         QObject *parent)
    : QObject(parent), m_display(display), m_window(window), m_width(width), m_height(height),
      m_poll(new QTimer(this))
{
    m_poll->setInterval(20);
    connect(m_poll, &QTimer::timeout, this, &VideoPlayer::poll);
}

VideoPlayer::~VideoPlayer()
{
    stop();
    XDestroyWindow(m_display, m_window);
    XCloseDisplay(m_display);
}

void VideoPlayer::blank()
{
    XClearWindow(m_display, m_window);
    XFlush(m_display);
}

void VideoPlayer::stop()
{
    m_poll->stop();
    if (m_pipeline) {
        // Returns once the streaming threads are gone: no probe runs after it.
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        gst_object_unref(m_pipeline);
        m_pipeline = nullptr;
    }
    m_frames = 0;
    m_framesSeen = 0;
    m_silent = false;
    blank();
}

void VideoPlayer::play(const QString &url)
{
    stop();
    m_url = url;
    m_since.start();
    const QUrl parsed(url);
    if (parsed.scheme() != QLatin1String("udp") || parsed.host().isEmpty() || parsed.port() <= 0 ||
        !parsed.path().isEmpty()) {
        logLine(QStringLiteral("playerd: cannot play %1: not udp://address:port").arg(url));
        return;
    }
    // The window's size, nearest-neighbour scaled: cheap, and the picture is
    // a test card. Late frames are shown, not dropped: there is no audio to follow.
    const QString description =
        QStringLiteral("udpsrc address=%1 port=%2 caps=video/mpegts,systemstream=true "
                       "! tsdemux ! h264parse ! avdec_h264 ! videoconvert "
                       "! videoscale method=nearest-neighbour "
                       "! video/x-raw,width=%3,height=%4,pixel-aspect-ratio=1/1 "
                       "! ximagesink name=sink sync=false handle-events=false")
            .arg(parsed.host())
            .arg(parsed.port())
            .arg(m_width)
            .arg(m_height);
    GError *error = nullptr;
    m_pipeline = gst_parse_launch(description.toUtf8().constData(), &error);
    if (error) {
        logLine(QStringLiteral("playerd: cannot play %1: %2")
                    .arg(url, QString::fromUtf8(error->message)));
        g_clear_error(&error);
        if (m_pipeline)
            gst_object_unref(m_pipeline);
        m_pipeline = nullptr;
        return;
    }
    GstElement *sink = gst_bin_get_by_name(GST_BIN(m_pipeline), "sink");
    gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(sink), m_window);
    GstPad *pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, countFrame, &m_frames, nullptr);
    gst_object_unref(pad);
    gst_object_unref(sink);
    if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        poll(); // reports the bus's error
        if (m_pipeline) {
            logLine(
                QStringLiteral("playerd: cannot play %1: the pipeline does not start").arg(url));
            stop();
        }
        return;
    }
    m_poll->start();
}

void VideoPlayer::poll()
{
    if (!m_pipeline)
        return;
    GstBus *bus = gst_element_get_bus(m_pipeline);
    GstMessage *message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    gst_object_unref(bus);
    if (message) {
        GError *error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        logLine(QStringLiteral("playerd: error playing %1: %2")
                    .arg(m_url, QString::fromUtf8(error ? error->message : "?")));
        g_clear_error(&error);
        gst_message_unref(message);
        stop();
        return;
    }
    const quint64 frames = m_frames.load(std::memory_order_relaxed);
    if (frames != m_framesSeen) {
        if (m_framesSeen == 0)
            logLine(QStringLiteral("playerd: first frame of %1 shown after %2 ms")
                        .arg(m_url)
                        .arg(m_since.elapsed()));
        else if (m_silent)
            logLine(QStringLiteral("playerd: picture again from %1").arg(m_url));
        m_framesSeen = frames;
        m_silent = false;
        m_since.start();
    } else if (!m_silent && m_since.elapsed() >= silenceMs) {
        logLine(QStringLiteral("playerd: no picture from %1 for %2 s")
                    .arg(m_url)
                    .arg(silenceMs / 1000));
        m_silent = true;
        blank();
    }
}
