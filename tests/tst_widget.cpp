#include "downloader.h"
#include "udpclient.h"
#include "widget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkDatagram>
#include <QPixmapCache>
#include <QToolButton>
#include <QUdpSocket>
#include <QtTest>

#include "logcapture.h"
#include "netguard.h"

namespace {

QPixmap picture(int width, int height, Qt::GlobalColor color = Qt::red)
{
    QPixmap pixmap(width, height);
    pixmap.fill(color);
    return pixmap;
}

QJsonObject playable(const QString &ip, const QString &ts = "1")
{
    return QJsonObject{
        {"ip", ip}, {"cName", ip}, {"isTS_1", ts}, {"TSurl_1", "udp://239.1.1.1:5000"}};
}

} // namespace

class DerivedButton : public QToolButton
{
    Q_OBJECT
};

class TestWidget : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void window();
    void buttonCreatedOnceAndRefreshed();
    void buttonWithoutPicture();
    void buttonsKeepArrivalOrder();
    void moreThanNineSources();
    void nonToolButtonsAreLeftAlone();

    void doubleClickSwitchesOnAndOff();
    void rightPress_data();
    void rightPress();
    void rightPressOnButtonDoesNothing();
    void hoverPreview_data();
    void hoverPreview();
    void clickPlaysAndLocks();
    void unplayableSourceWarns();

private:
    void announce(const QString &id, const QString &cName, QPixmap pic)
    {
        emit download.imageUpdated(id, cName, pic);
    }
    QToolButton *button(int index) const
    {
        return qobject_cast<QToolButton *>(w->horizontalLayout->itemAt(index)->widget());
    }
    QPoint centreOf(QWidget *child) const { return child->mapTo(w, child->rect().center()); }
    void waitForWindowToEnd() { QTRY_VERIFY_WITH_TIMEOUT(!onDiscovery, 5000); }

    Widget *w = nullptr;
};

void TestWidget::initTestCase()
{
    REQUIRE_PRIVATE_NETWORK();
    LogCapture::install();
}

void TestWidget::init()
{
    waitForWindowToEnd();
    showImage = false;
    buttonClickable = true;
    client.jsonList.clear();
    w = new Widget;
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    LogCapture::lines().clear();
}

void TestWidget::cleanup()
{
    client.stopRefreshPreview();
    delete w;
    w = nullptr;
    QVERIFY(!preview || true); // preview is a child of the window and went with it
}

void TestWidget::window()
{
    QCOMPARE(w->windowTitle(), QString("Widget"));
    QCOMPARE(w->objectName(), QString("Widget"));
    QCOMPARE(w->size(), QSize(1920, 1080));
    QCOMPARE(w->minimumSize(), QSize(1920, 1080));
    QCOMPARE(w->maximumSize(), QSize(1920, 1080));
    QVERIFY(w->testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(w->cursor().shape(), Qt::BlankCursor);
    QCOMPARE(w->horizontalLayoutWidget->geometry(), QRect(60, 792, 1800, 165));
    QCOMPARE(w->horizontalLayoutWidget->minimumHeight(), 165);
    QCOMPARE(w->horizontalLayoutWidget->maximumHeight(), 165);
    QCOMPARE(w->horizontalLayout->count(), 0);
    QCOMPARE(w->horizontalLayout->spacing(), 0);
    QCOMPARE(w->horizontalLayout->contentsMargins(), QMargins());
    QCOMPARE(w->horizontalLayout->alignment(), Qt::AlignCenter);
    QVERIFY(preview && preview->parent() == w && preview->isHidden());
    QCOMPARE(QPixmapCache::cacheLimit(), 1);
    // Nothing is discovered or refreshed at start.
    QVERIFY(!onDiscovery);
    QVERIFY(!client.refreshTimer->isActive());
    QVERIFY(LogCapture::lines().isEmpty());
}

void TestWidget::buttonCreatedOnceAndRefreshed()
{
    announce("127.0.0.11", "Camera 1", picture(1280, 720, Qt::red));
    QCOMPARE(LogCapture::lines(), QStringList({"update button"}));
    QCOMPARE(w->horizontalLayout->count(), 1);
    QToolButton *b = button(0);
    QVERIFY(b);
    QCOMPARE(b->parentWidget(), w->horizontalLayoutWidget);
    QCOMPARE(b->toolTip(), QString("127.0.0.11"));
    QCOMPARE(b->text(), QString("Camera 1"));
    QCOMPARE(b->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    QCOMPARE(b->minimumSize(), QSize(200, 155));
    QCOMPARE(b->iconSize(), QSize(200, 150));
    QCOMPARE(b->icon().pixmap(1280, 720).toImage().pixelColor(5, 5), QColor(Qt::red));

    // A refresh replaces only the picture.
    announce("127.0.0.11", "Renamed", picture(1280, 720, Qt::blue));
    QCOMPARE(LogCapture::lines().size(), 1);
    QCOMPARE(w->horizontalLayout->count(), 1);
    QCOMPARE(b->text(), QString("Camera 1"));
    QCOMPARE(b->icon().pixmap(1280, 720).toImage().pixelColor(5, 5), QColor(Qt::blue));

    // A failed refresh empties the picture until the next one.
    announce("127.0.0.11", "Camera 1", QPixmap());
    QVERIFY(b->icon().isNull());
}

void TestWidget::buttonWithoutPicture()
{
    const QSize styleDefault = QToolButton().iconSize();
    announce("a", "No picture", QPixmap());
    QToolButton *b = button(0);
    QVERIFY(b->icon().isNull());
    QCOMPARE(b->iconSize(), styleDefault);
    announce("a", "No picture", picture(1280, 720));
    QVERIFY(!b->icon().isNull());
    QCOMPARE(b->iconSize(), styleDefault);
}

void TestWidget::buttonsKeepArrivalOrder()
{
    announce("Y", "y", picture(20, 15));
    announce("X", "x", picture(20, 15));
    announce("Z", "z", picture(20, 15));
    QCOMPARE(button(0)->toolTip(), QString("Y"));
    QCOMPARE(button(1)->toolTip(), QString("X"));
    QCOMPARE(button(2)->toolTip(), QString("Z"));
    QTRY_VERIFY(button(0)->x() > 0);
    // Side by side, without gaps, centred as a group in the bar area.
    QCOMPARE(button(1)->x(), button(0)->x() + button(0)->width());
    QCOMPARE(button(0)->x(), 1800 - (button(2)->x() + button(2)->width()));
}

void TestWidget::moreThanNineSources()
{
    for (int i = 0; i < 12; ++i)
        announce(QString("10.0.0.%1").arg(i), QString::number(i), picture(20, 15));
    QCOMPARE(w->horizontalLayout->count(), 12);
    QCOMPARE(w->horizontalLayoutWidget->width(), 1800);
    QCOMPARE(LogCapture::lines().count("update button"), 12);
}

void TestWidget::nonToolButtonsAreLeftAlone()
{
    // Only objects whose own class is QToolButton are filtered.
    DerivedButton derived;
    derived.installEventFilter(w);
    QEvent enter(QEvent::Enter);
    QCoreApplication::sendEvent(&derived, &enter);
    QVERIFY(preview->isHidden());
}

void TestWidget::doubleClickSwitchesOnAndOff()
{
    QWindow *window = w->windowHandle();
    QTest::mouseDClick(window, Qt::LeftButton, {}, QPoint(300, 300));
    QVERIFY(showImage);
    QCOMPARE(w->cursor().shape(), Qt::OpenHandCursor);
    QVERIFY(w->horizontalLayoutWidget->isVisible());
    QVERIFY(onDiscovery);
    QVERIFY(client.refreshTimer->isActive());
    QCOMPARE(client.refreshTimer->interval(), 5000);

    announce("127.0.0.11", "A", picture(20, 15));
    announce("127.0.0.12", "B", picture(20, 15));
    client.jsonList << playable("127.0.0.11") << playable("127.0.0.12");
    LogCapture::lines().clear();

    QTest::mouseDClick(window, Qt::LeftButton, {}, QPoint(300, 300));
    QVERIFY(!showImage);
    QCOMPARE(w->cursor().shape(), Qt::BlankCursor);
    QVERIFY(w->horizontalLayoutWidget->isHidden());
    QCOMPARE(w->horizontalLayout->count(), 0);
    QVERIFY(w->horizontalLayoutWidget->findChildren<QToolButton *>().isEmpty());
    QVERIFY(client.jsonList.isEmpty());
    QVERIFY(!client.refreshTimer->isActive());
    QCOMPARE(LogCapture::lines(), QStringList({"remove item:  \"A\" [ \"127.0.0.11\" ]",
                                               "remove item:  \"B\" [ \"127.0.0.12\" ]"}));

    // Other buttons do nothing.
    QTest::mouseDClick(window, Qt::RightButton, {}, QPoint(300, 300));
    QVERIFY(!showImage);
}

void TestWidget::rightPress_data()
{
    QTest::addColumn<bool>("on");
    QTest::addColumn<QPoint>("where");
    QTest::newRow("bar off") << false << QPoint(500, 200);
    QTest::newRow("bar on, empty window") << true << QPoint(500, 200);
    QTest::newRow("bar on, bar area beside buttons") << true << QPoint(100, 850);
}

void TestWidget::rightPress()
{
    QFETCH(bool, on);
    QFETCH(QPoint, where);
    showImage = on;
    announce("a", "A", picture(20, 15));
    LogCapture::lines().clear();

    QTest::mousePress(w->windowHandle(), Qt::RightButton, {}, where);
    if (!on) {
        QCOMPARE(LogCapture::lines(), QStringList({"\n"}));
        QCOMPARE(w->horizontalLayout->count(), 1);
        QVERIFY(!onDiscovery);
        return;
    }
    QCOMPARE(LogCapture::lines(), QStringList({"\n", "remove item:  \"A\" [ \"a\" ]"}));
    QCOMPARE(w->horizontalLayout->count(), 0);
    QVERIFY(w->horizontalLayoutWidget->isVisible());
    QVERIFY(onDiscovery); // a rediscovery was started

    // During the window a second right press clears the bar but sends nothing,
    // and keeps the records found so far.
    client.jsonList << playable("kept");
    announce("b", "B", picture(20, 15));
    QTest::mouseRelease(w->windowHandle(), Qt::RightButton, {}, where);
    // Far enough from the first press not to make a double-click of the pair.
    QTest::mousePress(w->windowHandle(), Qt::RightButton, {}, where + QPoint(0, 40), 1000);
    QCOMPARE(w->horizontalLayout->count(), 0);
    QCOMPARE(client.jsonList.size(), 1);
}

void TestWidget::rightPressOnButtonDoesNothing()
{
    showImage = true;
    announce("a", "A", picture(20, 15));
    QTRY_VERIFY(button(0)->x() > 0);
    LogCapture::lines().clear();
    QTest::mousePress(w->windowHandle(), Qt::RightButton, {}, centreOf(button(0)));
    QCOMPARE(LogCapture::lines(), QStringList({"do nothing"}));
    QCOMPARE(w->horizontalLayout->count(), 1);
    QVERIFY(!onDiscovery);
    QTest::mouseRelease(w->windowHandle(), Qt::RightButton, {}, centreOf(button(0)));
}

void TestWidget::hoverPreview_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("shown");
    QTest::newRow("1280 x 720 scaled to fit") << QSize(1280, 720) << QSize(400, 225);
    QTest::newRow("small not enlarged") << QSize(100, 80) << QSize(100, 80);
    QTest::newRow("no picture") << QSize() << QSize();
}

void TestWidget::hoverPreview()
{
    QFETCH(QSize, picture);
    QFETCH(QSize, shown);
    announce("a", "A",
             picture.isEmpty() ? QPixmap() : ::picture(picture.width(), picture.height()));
    announce("b", "B", ::picture(20, 15));
    QToolButton *b = button(0);
    QTRY_VERIFY(b->x() > 0);

    // Moves to where the pointer already is are dropped: start somewhere new.
    static int start = 0;
    QTest::mouseMove(w->windowHandle(), QPoint(5 + ++start, 5));
    QTest::mouseMove(w->windowHandle(), centreOf(b));
    QTRY_VERIFY(preview->isVisible());
    const QPoint corner = b->mapTo(w, QPoint(0, 0));
    QCOMPARE(preview->geometry(), QRect(corner.x() - 100, corner.y() - 300, 400, 300));
    if (shown.isEmpty())
        QVERIFY(preview->pixmap(Qt::ReturnByValue).isNull());
    else
        QCOMPARE(preview->pixmap(Qt::ReturnByValue).size(), shown);

    QTest::mouseMove(w->windowHandle(), QPoint(5 + ++start, 5));
    QTRY_VERIFY(preview->isHidden());
    QVERIFY(preview->pixmap(Qt::ReturnByValue).isNull());
}

void TestWidget::clickPlaysAndLocks()
{
    QUdpSocket player;
    QVERIFY(player.bind(QHostAddress::LocalHost, 3601));
    client.jsonList << playable("127.0.0.11") << playable("127.0.0.12");
    announce("127.0.0.11", "A", picture(20, 15));
    announce("127.0.0.12", "B", picture(20, 15));
    QTRY_VERIFY(button(0)->x() > 0);
    LogCapture::lines().clear();

    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, centreOf(button(0)));
    QVERIFY(!buttonClickable);
    QTRY_VERIFY(player.hasPendingDatagrams());
    player.receiveDatagram();
    // A second click, on another button, within the lock sends nothing.
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, centreOf(button(1)));
    QCOMPARE(LogCapture::lines(),
             QStringList({"button turns to unclickable", "play source:  \"127.0.0.11\"",
                          "button unclickable"}));
    QTest::qWait(100);
    QVERIFY(!player.hasPendingDatagrams());

    QTRY_VERIFY_WITH_TIMEOUT(buttonClickable, 5000);
    QCOMPARE(LogCapture::lines().last(), QString("button turns to clickable"));
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, centreOf(button(1)));
    QTRY_VERIFY(player.hasPendingDatagrams());
    QVERIFY(player.receiveDatagram().data().contains("set_param_player"));
}

void TestWidget::unplayableSourceWarns()
{
    client.jsonList << playable("127.0.0.11", "0");
    announce("127.0.0.11", "A", picture(20, 15));
    QTRY_VERIFY(button(0)->x() > 0);
    LogCapture::lines().clear();

    QString title, text;
    QList<QAbstractButton *> buttons;
    bool lockOpenedWhileBoxShown = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        if (title.isEmpty()) {
            title = box->windowTitle();
            text = box->text();
            buttons = box->buttons();
            QCOMPARE(box->icon(), QMessageBox::Warning);
            QCOMPARE(box->standardButton(buttons.value(0)), QMessageBox::Ok);
            QVERIFY(!box->parent());
        }
        // The click lock ends while the box is still open.
        if (buttonClickable) {
            lockOpenedWhileBoxShown = true;
            box->close();
        }
    });
    poll.start(50);
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, centreOf(button(0)));
    poll.stop();

    QCOMPARE(title, QString("<font size='4' color='black'>title</font>"));
    QCOMPARE(text, QString("<font size='4' color='black'>Source unavailable, Please enable "
                           "transmiter's TS and rediscovery by right clicking the mouse</font>"));
    QCOMPARE(buttons.size(), 1);
    QVERIFY(lockOpenedWhileBoxShown);
    QCOMPARE(LogCapture::lines(),
             QStringList({"button turns to unclickable", "play source:  \"127.0.0.11\"",
                          "button turns to clickable"}));
}

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
