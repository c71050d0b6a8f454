#ifndef TXSIM_STREAMER_H
#define TXSIM_STREAMER_H

#include "transmitter.h"

#include <QImage>
#include <QObject>
#include <QSize>

class QTimer;
typedef struct _GstElement GstElement;

// When a transmitter's stream is encoded and sent.
enum class StreamMode {
    Off,      // never (no stream at all)
    Listened, // only while a socket in this network namespace has joined its group
    Always,   // from the start
};

struct StreamOptions
{
    StreamMode mode = StreamMode::Listened;
    QSize size{480, 270};
    int fps = 10;
    bool silent = false; // announces the stream but never sends it
    int stopAfterS = -1; // stops for good this long after it started; -1: never
};

// Sends one transmitter's live test card as H.264 in an MPEG transport stream
// to the multicast group and port of its TSurl_1, from its own address, with a
// multicast TTL of 0: the datagrams loop back to local listeners and never
// leave the machine. In Listened mode the group memberships are read from
// /proc/net/igmp four times a second, so an idle transmitter costs no encoding.
class Streamer : public QObject
{
    Q_OBJECT
public:
    Streamer(const Transmitter &t, const StreamOptions &options, QObject *parent = nullptr);
    ~Streamer() override;

    // Initialises GStreamer; false (with the reason) when it or an element is missing.
    static bool initialise(QString *why);

    // Whether some socket in this network namespace has joined group (dotted IPv4).
    static bool groupJoined(const QString &group);

private:
    void poll();
    void pushFrame();
    bool startPipeline();
    void stopPipeline(const QString &why);
    void readBus();

    Transmitter m_t;
    StreamOptions m_options;
    QString m_group;
    quint16 m_port = 0;
    QTimer *m_pollTimer;
    QTimer *m_frameTimer;
    GstElement *m_pipeline = nullptr;
    GstElement *m_source = nullptr;
    QImage m_frame;
    qint64 m_frameSecond = -1;
    qint64 m_startedMs = 0;
    bool m_stopped = false; // the stop fault has fired, or the pipeline failed
};

#endif // TXSIM_STREAMER_H
