#ifndef TOOLS_COMMON_LOGLINE_H
#define TOOLS_COMMON_LOGLINE_H

class QByteArray;
class QString;

// One event, one line on stdout, flushed at once so a reader on a pipe sees it
// as it happens.
void logLine(const QString &line);

// Same, for text that must reach stdout byte for byte (no re-encoding).
void logRaw(const QByteArray &prefix, const QByteArray &bytes);

#endif // TOOLS_COMMON_LOGLINE_H
