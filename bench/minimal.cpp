// The floor for start-up and idle: a bare Qt Widgets program with sourcebar's
// window (translucent, fixed 1920 x 1080), application font and style sheet,
// and nothing else.
#include "benchcommon.h"

#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    bench::installLook(app);
    QWidget window;
    window.setFixedSize(1920, 1080);
    window.setAttribute(Qt::WA_TranslucentBackground);
    window.show();
    return app.exec();
}
