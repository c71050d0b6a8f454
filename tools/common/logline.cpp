#include "logline.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

void logLine(const QString &line)
{
    const QByteArray utf8 = line.toUtf8();
    std::fwrite(utf8.constData(), 1, static_cast<size_t>(utf8.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void logRaw(const QByteArray &prefix, const QByteArray &bytes)
{
    std::fwrite(prefix.constData(), 1, static_cast<size_t>(prefix.size()), stdout);
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
