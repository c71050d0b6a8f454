// Preloaded (LD_PRELOAD) into a Qt Widgets program by bench_startup: notes the
// first paint of a top-level window, then the event loop's first
// aboutToBlock() after it (the loop is idle, the window is on screen), writes
// "paint_ns idle_ns peak_rss_kib" (CLOCK_MONOTONIC) to the descriptor named by
// BENCH_STARTUP_FD and ends the process. Without that variable it does nothing.
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

long long monoNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

long peakRssKib()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

class FirstPaintWatch : public QObject
{
public:
    explicit FirstPaintWatch(int fd) : m_fd(fd) {}

    bool eventFilter(QObject *obj, QEvent *event) override
    {
        if (m_paintNs == 0 && event->type() == QEvent::Paint && obj->isWidgetType() &&
            static_cast<QWidget *>(obj)->isWindow()) {
            m_paintNs = monoNs();
            connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                    this, &FirstPaintWatch::idle, Qt::DirectConnection);
        }
        return false;
    }

private:
    void idle()
    {
        const long long idleNs = monoNs();
        char line[96];
        const int n =
            std::snprintf(line, sizeof line, "%lld %lld %ld\n", m_paintNs, idleNs, peakRssKib());
        if (n > 0 && ::write(m_fd, line, size_t(n)) != n)
            _exit(3);
        _exit(0);
    }

    int m_fd;
    long long m_paintNs = 0;
};

void startupHook()
{
    const QByteArray fd = qgetenv("BENCH_STARTUP_FD");
    if (fd.isEmpty())
        return;
    qApp->installEventFilter(new FirstPaintWatch(fd.toInt()));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startupHook)
