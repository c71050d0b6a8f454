#ifndef SHELL_H
#define SHELL_H

#include <initializer_list>

class Widget;

// The one window; the quit reaction is the only other place that reaches it.
extern Widget *w;

// Installs handler() for each of the quit signals, in list order.
void catchUnixSignals(std::initializer_list<int> quitSignals);

// The quit-signal handler. It only does what is safe in a signal context:
// it prints the quit line and, while the window exists, wakes the GUI thread,
// which then removes the window (removeWindow()).
void handler(int sig);

// Arms the quit reaction for the window now held in w. Call once, on the GUI
// thread, after the window was created.
void watchQuitSignals();

// The quit reaction proper, run on the GUI thread: removes the window and any
// warning box it opened; the window is deleted once the stack has unwound.
void removeWindow(int sig);

#endif // SHELL_H
