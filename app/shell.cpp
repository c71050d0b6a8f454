#include "shell.h"

#include "widget.h"

#include <QApplication>
#include <QDebug>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

Widget *w = nullptr;

namespace {

// Written by the handler, read by the GUI thread.
int quitPipe[2] = {-1, -1};
// Mirrors "w is set" for the handler, which may not look at w itself. It is
// cleared by the first handler that passes the wake-up on, so a second signal
// only prints its line, even before the first reaction has run.
volatile sig_atomic_t windowAlive = 0;

void writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= size_t(n);
    }
}

} // namespace

void handler(int sig)
{
    const int savedErrno = errno;

    // "\nquit the application by signal(%d).\n", formatted without stdio.
    char line[64];
    const char head[] = "\nquit the application by signal(";
    const char tail[] = ").\n";
    size_t len = 0;
    for (const char *c = head; *c; ++c)
        line[len++] = *c;
    char digits[12];
    int nd = 0;
    unsigned int value = sig < 0 ? 0u - unsigned(sig) : unsigned(sig);
    do {
        digits[nd++] = char('0' + value % 10);
        value /= 10;
    } while (value > 0);
    if (sig < 0)
        line[len++] = '-';
    while (nd > 0)
        line[len++] = digits[--nd];
    for (const char *c = tail; *c; ++c)
        line[len++] = *c;
    writeAll(STDOUT_FILENO, line, len);

    if (windowAlive && quitPipe[1] >= 0) {
        windowAlive = 0;
        writeAll(quitPipe[1], reinterpret_cast<const char *>(&sig), sizeof sig);
    }
    errno = savedErrno;
}

void catchUnixSignals(std::initializer_list<int> quitSignals)
{
    if (quitPipe[0] < 0 && ::pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int err = errno;
        quitPipe[0] = quitPipe[1] = -1;
        // Without the pipe a quit signal cannot reach the window: it would only
        // print its line and leave the program running.
        qWarning().noquote() << "cannot create the quit pipe:" << std::strerror(err)
                             << "- quit signals will not end the program";
    }

    sigset_t blocking_mask;
    sigemptyset(&blocking_mask);
    for (int sig : quitSignals)
        sigaddset(&blocking_mask, sig);

    struct sigaction sa = {};
    sa.sa_handler = handler;
    sa.sa_mask = blocking_mask;
    sa.sa_flags = 0;
    for (int sig : quitSignals) {
        if (::sigaction(sig, &sa, nullptr) != 0)
            qWarning().noquote() << "cannot catch signal" << sig << ":" << std::strerror(errno)
                                 << "- it will not end the program cleanly";
    }
}

void watchQuitSignals()
{
    if (!w || quitPipe[0] < 0)
        return;
    auto *notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier] {
        int sig = 0;
        if (::read(quitPipe[0], &sig, sizeof sig) != ssize_t(sizeof sig))
            return;
        notifier->setEnabled(false);
        removeWindow(sig);
    });
    windowAlive = 1;
}

void removeWindow(int sig)
{
    if (!w)
        return;
    Widget *window = w;
    w = nullptr;

    qDebug() << "remove GUI from signal " << sig;
    window->setCursor(Qt::BlankCursor);
    window->horizontalLayoutWidget->hide();
    window->hide();
    window->close();

    // A warning box opened by a click runs its own event loop inside a slot of
    // the window: close it too, so the program can end.
    bool boxClosed = false;
    const QWidgetList tops = QApplication::topLevelWidgets();
    for (QWidget *top : tops) {
        auto *box = qobject_cast<QMessageBox *>(top);
        if (box && box->isVisible()) {
            box->close();
            boxClosed = true;
        }
    }
    // Closing the box from inside its own loop does not count as the last
    // window closing: end the program's loops explicitly then.
    if (boxClosed)
        QCoreApplication::exit(0);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 counts closing the window, hidden just above, as the last window
    // closing and quits; Qt 6 does so only for a window still visible when it
    // is closed. Quit the same way here, unless another window keeps it alive:
    // queued, and only from the application's own loop, as Qt 5 does.
    else if (QGuiApplication::quitOnLastWindowClosed()) {
        bool othersVisible = false;
        for (QWidget *top : tops)
            othersVisible = othersVisible || (top != window && top->isVisible() &&
                                              top->testAttribute(Qt::WA_QuitOnClose));
        if (!othersVisible)
            QMetaObject::invokeMethod(
                qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    }
#endif
    // The box's loop, and the click that opened it, are still on the stack and
    // return into the window: it may only go once they have unwound.
    window->deleteLater();
}
