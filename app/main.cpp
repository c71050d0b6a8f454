#include "shell.h"
#include "widget.h"

#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QString>

#include <csignal>

int main(int argc, char **argv)
{
    QApplication a(argc, argv);
    catchUnixSignals({SIGQUIT, SIGINT, SIGTERM, SIGHUP, SIGUSR1});

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
