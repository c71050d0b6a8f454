#include "kmscursor.h"
#include "shell.h"
#include "widget.h"

#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QNetworkProxy>
#include <QString>
#include <QTemporaryFile>

#include <csignal>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    // Before the application object, which needs a working platform: the
    // version must print on a device whose display is not up.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("sourcebar %s\n", SOURCEBAR_VERSION_STRING);
            return 0;
        }
    }
    QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0)
            platform = argv[i + 1];
    }
    // eglfs reads its settings while the application object starts.
    QTemporaryFile kmsSettings;
    useSoftwareCursorWhereNeeded(platform, kmsSettings);
    QApplication a(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(SOURCEBAR_VERSION_STRING));
    catchUnixSignals({SIGQUIT, SIGINT, SIGTERM, SIGHUP, SIGUSR1});
    // Nothing of this program goes through a proxy (the transmitters are on the
    // LAN, the player on loopback): no socket asks the system for one either.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);

    const int id = QFontDatabase::addApplicationFont(QCoreApplication::applicationDirPath() +
                                                     QStringLiteral("/DejaVuSansMono.ttf"));
    const QStringList families =
        id == -1 ? QStringList() : QFontDatabase::applicationFontFamilies(id);
    if (families.isEmpty()) {
        qDebug() << "Cannot open font DejaVuSansMono";
    } else {
        QFont dejavu(families.at(0));
        QApplication::setFont(dejavu);
    }

    QString qss;
    QFile qssFile(QStringLiteral(":/myQss.qss"));
    if (qssFile.open(QFile::ReadOnly)) {
        qDebug() << "load qss file from :" << qssFile.fileName();
        qss = QLatin1String(qssFile.readAll());
        a.setStyleSheet(qss);
        qssFile.close();
    } else {
        qDebug() << "failed to load qss file from:" << qssFile.fileName();
    }

    w = new Widget;
    watchQuitSignals();
    w->show();
    return a.exec();
}
