#ifndef TOOLS_COMMON_SIGNALQUIT_H
#define TOOLS_COMMON_SIGNALQUIT_H

class QString;

// Turns SIGINT and SIGTERM into QCoreApplication::quit() (exit status 0) through a
// socket pair, so nothing but write() runs inside the signal handler. Prints
// "<tool>: stopping on SIGxxx" first. Returns false when it could not be set up.
bool quitOnSignals(const QString &tool);

#endif // TOOLS_COMMON_SIGNALQUIT_H
