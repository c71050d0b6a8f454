#ifndef FUZZACCESS_H
#define FUZZACCESS_H

#include "downloader.h"
#include "udpclient.h"

#include <QByteArray>
#include <QPixmap>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

// The fuzz targets' door to the private frame and decode functions.
class FuzzAccess
{
public:
    static int buildMessage(UdpClient &c, QByteArray &frame, const QByteArray &message)
    {
        return c.buildMessage(frame, message);
    }
    static void parseMsg(UdpClient &c, QByteArray &message) { c.parseMsg(message); }
    static QPixmap decode(const QByteArray &body) { return Downloader::decode(body); }
};

// The code's debug lines and the image decoders' warnings about bad input would
// dominate every run; only critical and fatal messages reach stderr.
inline void fuzzQuietMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtCriticalMsg && type != QtFatalMsg)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// A broken invariant is a finding: report it and let libFuzzer save the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond);      \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

#endif // FUZZACCESS_H
