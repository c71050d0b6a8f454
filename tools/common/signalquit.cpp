#include "signalquit.h"

#include "logline.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QString>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalFds[2] = {-1, -1};

void onSignal(int sig)
{
    const unsigned char byte = static_cast<unsigned char>(sig);
    // Nothing useful can be done about a failed write inside a handler.
    [[maybe_unused]] const ssize_t n = ::write(signalFds[0], &byte, 1);
}

} // namespace

bool quitOnSignals(const QString &tool)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalFds) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalFds[1], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [tool, notifier]() {
        unsigned char byte = 0;
        if (::read(signalFds[1], &byte, 1) != 1)
            return;
        notifier->setEnabled(false);
        logLine(
            QStringLiteral("%1: stopping on %2")
                .arg(tool, byte == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM")));
        QCoreApplication::quit();
    });

    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}
