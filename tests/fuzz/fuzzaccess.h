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
    static QByteArray formatOf(const QByteArray &body) { return Downloader::formatOf(body); }
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
// The application object every target needs, built once from the fuzzer's own
// program name; Qt's messages are kept quiet. App is QCoreApplication or
// QGuiApplication.
template <typename App> void startQt(char ***argv)
{
    qInstallMessageHandler(fuzzQuietMessages);
    static int qargc = 1;
    static char *qargv[] = {(*argv)[0], nullptr};
    new App(qargc, qargv);
}

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond);      \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

#endif // FUZZACCESS_H
