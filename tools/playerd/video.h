#ifndef PLAYERD_VIDEO_H
#define PLAYERD_VIDEO_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <atomic>

class QTimer;
struct _XDisplay;
typedef struct _GstElement GstElement;

// Plays udp://group:port (H.264 in MPEG-TS) full screen in a window of its own
// that lies below every other window, so the source bar shows over it. One
// stream at a time; a new one drops the previous. A stream that fails or falls
// silent is logged and leaves the window black.
class VideoPlayer : public QObject
{
    Q_OBJECT
public:
    // nullptr, with the reason, when there is no X display or GStreamer misses a part.
    static VideoPlayer *create(QString *why, QObject *parent = nullptr);
    ~VideoPlayer() override;

    void play(const QString &url);

private:
    VideoPlayer(_XDisplay *display, unsigned long window, int width, int height, QObject *parent);
    void stop();
    void poll();
    void blank();

    _XDisplay *m_display;
    unsigned long m_window;
    int m_width;
    int m_height;
    QTimer *m_poll;
    GstElement *m_pipeline = nullptr;
    QString m_url;
    QElapsedTimer m_since;
    std::atomic<quint64> m_frames{0}; // buffers that reached the sink, counted on its thread
    quint64 m_framesSeen = 0;
    bool m_silent = false;
};

#endif // PLAYERD_VIDEO_H
