#ifndef BENCHCOMMON_H
#define BENCHCOMMON_H

// Shared by the benchmark programs: the program's start-up steps (font, style
// sheet) as main() does them, clocks, and /proc readings.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <malloc.h>
#include <vector>

namespace bench {

// The application font beside the executable and the style sheet from the
// resource ":/myQss.qss", exactly as sourcebar's main() installs them.
inline void installLook(QApplication &app)
{
    const int id = QFontDatabase::addApplicationFont(QCoreApplication::applicationDirPath() +
                                                     QStringLiteral("/DejaVuSansMono.ttf"));
    const QStringList families =
        id == -1 ? QStringList() : QFontDatabase::applicationFontFamilies(id);
    if (!families.isEmpty())
        QApplication::setFont(QFont(families.at(0)));
    QFile qssFile(QStringLiteral(":/myQss.qss"));
    if (qssFile.open(QFile::ReadOnly))
        app.setStyleSheet(QLatin1String(qssFile.readAll()));
}

// What the program's main() once did against heap growth from 3.5 MiB
// pictures: every block over 128 KiB mapped and returned at free(). Kept for
// comparison (--heap-limit 1); the program no longer needs it.
inline void limitHeapGrowth()
{
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
}

inline int64_t nsOf(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
// CPU time of the whole process: every thread, including those that have ended.
inline int64_t cpuNs()
{
    return nsOf(CLOCK_PROCESS_CPUTIME_ID);
}
inline int64_t monoNs()
{
    return nsOf(CLOCK_MONOTONIC);
}

// A "Name:   value kB" line of /proc/self/status, in KiB (or plain count).
inline long statusValue(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

inline int entriesIn(const QString &dir)
{
    return int(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size());
}
inline int threadCount()
{
    return entriesIn(QStringLiteral("/proc/self/task"));
}
inline QStringList threadNames()
{
    QStringList names;
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &t : tasks) {
        QFile f(QStringLiteral("/proc/self/task/%1/comm").arg(t));
        if (f.open(QIODevice::ReadOnly))
            names << QString::fromLocal8Bit(f.readAll().trimmed());
    }
    return names;
}
inline int fdCount()
{
    return entriesIn(QStringLiteral("/proc/self/fd"));
}

template <typename T> T median(std::vector<T> v)
{
    if (v.empty())
        return T();
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace bench

#endif // BENCHCOMMON_H
