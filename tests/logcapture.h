#ifndef TESTS_LOGCAPTURE_H
#define TESTS_LOGCAPTURE_H

#include <QStringList>
#include <QtGlobal>

// Captures every debug message, exactly as the debug stream formatted it, so
// that tests can compare the log byte for byte. Other levels pass through.
namespace LogCapture {
inline QStringList &lines()
{
    static QStringList captured;
    return captured;
}
inline QtMessageHandler &previous()
{
    static QtMessageHandler handler = nullptr;
    return handler;
}
inline void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (type == QtDebugMsg)
        lines() << msg;
    else if (previous())
        previous()(type, context, msg);
}
inline void install()
{
    previous() = qInstallMessageHandler(handler);
}
} // namespace LogCapture

#endif // TESTS_LOGCAPTURE_H
