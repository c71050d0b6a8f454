#ifndef WIDGET_H
#define WIDGET_H

#include <QPixmap>
#include <QSet>
#include <QString>
#include <QWidget>

class QHBoxLayout;
class QKeyEvent;
class QLabel;
class QToolButton;
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
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private slots:
    void previewFailed(QString id, QString cName);

private:
    void removeButtons();
    void switchBar();
    void takeKeyboard();
    bool handleKey(QKeyEvent *event);
    int buttonCount() const;
    QToolButton *buttonAt(int index) const;
    QToolButton *buttonOf(const QString &id) const;
    void showPreviewOf(QToolButton *button);
    void focusButton(QToolButton *button, bool byKey);
    void setKeyboardUse(bool on);
    void updateFocusMark();
    void setOffline(QToolButton *button, bool offline);

    Ui::Widget *ui;
    QMetaObject::Connection m_fetchConnection; // client to download, made by this window
    // Sources are known by id: buttons go on every rediscovery, and keys
    // arrive inside the nested loops of fetches and of the warning box.
    QString m_focusId;   // the focused source
    QString m_returnId;  // the source the focus goes back to after a rediscovery
    QString m_previewId; // the source whose enlarged preview shows
    QString m_failedId;  // the source whose fetch failed just before its update
    QSet<QString> m_offline;
    bool m_keyboardUse = false; // from a key until the pointer moves: the mark shows
};

#endif // WIDGET_H
