#ifndef WIDGET_H
#define WIDGET_H

#include <QPixmap>
#include <QString>
#include <QWidget>

class QHBoxLayout;
class QLabel;
class Downloader;
class UdpClient;

namespace Ui {
class Widget;
}

// The source bar module's long-lived objects and shared state. They are
// reachable from outside the module so that tests can drive and observe them.
extern UdpClient client;
extern Downloader download;
extern bool showImage;       // the source bar is on
extern bool buttonClickable; // the click lock is open
extern QLabel *preview;      // the hover preview label, a child of the window
// How often a paint had to scale a button's picture because it was made for
// another box (a layout change); counted for the benchmarks and tests.
extern int iconScalingsAtPaint;

class Widget : public QWidget
{
    Q_OBJECT
public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    bool eventFilter(QObject *obj, QEvent *event) override;

    QWidget *horizontalLayoutWidget;
    QHBoxLayout *horizontalLayout;

    static constexpr int clickLockMs = 2000;
    static constexpr int refreshPeriodMs = 5000;

public slots:
    void updateButton(QString id, QString cName, QPixmap &pic);
    void buttonClicked();
    void buttonHovered();
    void onTimeOut();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    void removeButtons();

    Ui::Widget *ui;
};

#endif // WIDGET_H
