#include "downloader.h"
#include "udpclient.h"
#include "widget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkDatagram>
#include <QPixmapCache>
#include <QTcpServer>
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
    void oneFetchPerAnnouncement();

    void doubleClickSwitchesOnAndOff();
    void rightPress_data();
    void rightPress();
    void rightPressOnButtonDoesNothing();
    void hoverPreview_data();
    void hoverPreview();
    void clickPlaysAndLocks();
    void unplayableSourceWarns();

    void previewGoesWithItsButtons_data();
    void previewGoesWithItsButtons();
    void keyTable_data();
    void keyTable();
    void keysWhenBarIsOff_data();
    void keysWhenBarIsOff();
    void heldModifiersAndRepeats();
    void arrowsMoveFocusAndPreview();
    void digitsPlayTheNthButton();
    void okDuringClickLockAndRefresh();
    void keysWhileWarningBoxIsOpen_data();
    void keysWhileWarningBoxIsOpen();
    void focusAfterRediscovery();
    void focusOnButtonLeftWhileOff();
    void focusMarkOnlyInKeyboardUse();
    void offlineMark();

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

void TestWidget::oneFetchPerAnnouncement()
{
    // Windows made and gone before this one (every earlier test's, and one
    // here) leave no fetch behind, and take none of this window's with them.
    delete new Widget;
    QSignalSpy fetched(&download, &Downloader::imageUpdated);
    emit client.sourceUpdated("127.0.0.11", "A", QString()); // no address: no request
    QCOMPARE(fetched.count(), 1);
    QCOMPARE(w->horizontalLayout->count(), 1);
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

namespace {
// A key as a platform hands it over: a Qt key (0 for none) and the native
// scan code (evdev code + 8).
void sendKey(QWidget *to, int key, quint32 scan = 0, Qt::KeyboardModifiers mods = {},
             bool repeat = false)
{
    QKeyEvent press(QEvent::KeyPress, key, mods, scan, 0, 0, QString(), repeat);
    QApplication::sendEvent(to, &press);
    QKeyEvent release(QEvent::KeyRelease, key, mods, scan, 0, 0, QString(), repeat);
    QApplication::sendEvent(to, &release);
}
} // namespace

void TestWidget::previewGoesWithItsButtons_data()
{
    QTest::addColumn<bool>("switchOff"); // else a right press rediscovers
    QTest::newRow("switched off under the pointer") << true;
    QTest::newRow("rediscovered under the pointer") << false;
}

void TestWidget::previewGoesWithItsButtons()
{
    QFETCH(bool, switchOff);
    QTest::mouseDClick(w->windowHandle(), Qt::LeftButton, {}, QPoint(300, 300));
    announce("a", "A", picture(1280, 720));
    QTRY_VERIFY(button(0)->x() > 0);
    QTest::mouseMove(w->windowHandle(), QPoint(7, 7));
    QTest::mouseMove(w->windowHandle(), centreOf(button(0)));
    QTRY_VERIFY(preview->isVisible());
    if (switchOff)
        sendKey(w, Qt::Key_Menu);
    else
        QTest::mousePress(w->windowHandle(), Qt::RightButton, {}, QPoint(100, 850));
    QCOMPARE(w->horizontalLayout->count(), 0);
    QVERIFY(preview->isHidden());
    QVERIFY(preview->pixmap(Qt::ReturnByValue).isNull());
}

// Every key of a row with the bar on and two buttons, the first focused.
void TestWidget::keyTable_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("scan");
    QTest::addColumn<QString>("effect"); // off, play1, play2, focus2, focus1, none

    QTest::newRow("Menu") << int(Qt::Key_Menu) << 0 << "off";
    QTest::newRow("MenuKB") << int(Qt::Key_MenuKB) << 0 << "off";
    QTest::newRow("remote menu, scan only") << 0 << 147 << "off";
    QTest::newRow("compose, scan only") << 0 << 135 << "off";
    QTest::newRow("Return") << int(Qt::Key_Return) << 36 << "play1";
    QTest::newRow("Enter") << int(Qt::Key_Enter) << 104 << "play1";
    QTest::newRow("Select") << int(Qt::Key_Select) << 0 << "play1";
    QTest::newRow("Space") << int(Qt::Key_Space) << 65 << "play1";
    QTest::newRow("remote OK, no Qt key") << 0 << 360 << "play1";
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 9 << "off";
    QTest::newRow("Back") << int(Qt::Key_Back) << 0 << "off";
    QTest::newRow("Exit") << int(Qt::Key_Exit) << 0 << "off";
    QTest::newRow("Close (CEC return)") << int(Qt::Key_Close) << 0 << "off";
    QTest::newRow("Right") << int(Qt::Key_Right) << 114 << "focus2";
    QTest::newRow("Left wraps") << int(Qt::Key_Left) << 113 << "focus2";
    QTest::newRow("Up") << int(Qt::Key_Up) << 111 << "none";
    QTest::newRow("Down") << int(Qt::Key_Down) << 116 << "none";
    QTest::newRow("digit 2 by scan, French layout") << int(Qt::Key_Eacute) << 11 << "play2";
    QTest::newRow("digit 1 by Qt key") << int(Qt::Key_1) << 0 << "play1";
    QTest::newRow("remote numeric 2") << 0 << 522 << "play2";
    QTest::newRow("digit 3: no third button") << int(Qt::Key_3) << 12 << "none";
    QTest::newRow("a letter") << int(Qt::Key_A) << 38 << "none";
}

void TestWidget::keyTable()
{
    QFETCH(int, key);
    QFETCH(int, scan);
    QFETCH(QString, effect);
    QUdpSocket player;
    QVERIFY(player.bind(QHostAddress::LocalHost, 3601));
    showImage = true; // switching on is keysWhenBarIsOff's
    client.startRefreshPreview(Widget::refreshPeriodMs);
    announce("127.0.0.11", "A", picture(1280, 720, Qt::red));
    announce("127.0.0.12", "B", picture(1280, 720, Qt::blue));
    client.jsonList << playable("127.0.0.11") << playable("127.0.0.12");
    QTRY_VERIFY(button(0)->x() > 0);
    LogCapture::lines().clear();

    sendKey(w, key, quint32(scan));
    if (effect == "off") {
        QVERIFY(!showImage);
        QCOMPARE(w->horizontalLayout->count(), 0);
        QVERIFY(!client.refreshTimer->isActive());
        QCOMPARE(LogCapture::lines(), QStringList({"remove item:  \"A\" [ \"127.0.0.11\" ]",
                                                   "remove item:  \"B\" [ \"127.0.0.12\" ]"}));
        return;
    }
    QVERIFY(showImage);
    QCOMPARE(w->horizontalLayout->count(), 2);
    if (effect.startsWith("play")) {
        const QString ip = effect == "play1" ? "127.0.0.11" : "127.0.0.12";
        QCOMPARE(LogCapture::lines(),
                 QStringList({"button turns to unclickable", "play source:  \"" + ip + "\""}));
        QTRY_VERIFY(player.hasPendingDatagrams());
        QVERIFY(!buttonClickable);
        return;
    }
    QVERIFY(LogCapture::lines().isEmpty());
    QVERIFY(!player.hasPendingDatagrams());
    if (effect == "focus2") {
        // The focus moved to B: its preview shows where hovering shows it.
        QVERIFY(preview->isVisible());
        const QPoint corner = button(1)->mapTo(w, QPoint(0, 0));
        QCOMPARE(preview->geometry(), QRect(corner.x() - 100, corner.y() - 300, 400, 300));
        QCOMPARE(preview->pixmap(Qt::ReturnByValue).toImage().pixelColor(10, 10), QColor(Qt::blue));
    } else {
        QVERIFY(preview->isHidden());
    }
    // Qt moved no focus: the window keeps the keyboard.
    QCOMPARE(QApplication::focusWidget(), w);
}

void TestWidget::keysWhenBarIsOff_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("scan");
    QTest::addColumn<bool>("switchesOn");
    QTest::newRow("Menu") << int(Qt::Key_Menu) << 0 << true;
    QTest::newRow("OK") << 0 << 360 << true;
    QTest::newRow("Return") << int(Qt::Key_Return) << 36 << true;
    QTest::newRow("Back") << int(Qt::Key_Back) << 0 << false;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 9 << false;
    QTest::newRow("Right") << int(Qt::Key_Right) << 114 << false;
    QTest::newRow("digit 1") << int(Qt::Key_1) << 10 << false;
}

void TestWidget::keysWhenBarIsOff()
{
    QFETCH(int, key);
    QFETCH(int, scan);
    QFETCH(bool, switchesOn);
    // The window takes the keyboard when shown, with no window manager.
    QTRY_COMPARE(QApplication::focusWidget(), w);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Shift); // nothing
    sendKey(QApplication::focusWidget(), key, quint32(scan));
    QCOMPARE(showImage, switchesOn);
    QCOMPARE(onDiscovery, switchesOn);
    QCOMPARE(client.refreshTimer->isActive(), switchesOn);
    if (!switchesOn)
        QVERIFY(LogCapture::lines().isEmpty());
}

void TestWidget::heldModifiersAndRepeats()
{
    sendKey(w, Qt::Key_Menu, 147, Qt::ControlModifier);
    sendKey(w, Qt::Key_Menu, 147, Qt::AltModifier);
    sendKey(w, Qt::Key_Menu, 147, Qt::MetaModifier);
    sendKey(w, 0, 360, Qt::ControlModifier);
    QVERIFY(!showImage);
    sendKey(w, Qt::Key_Menu, 147, {}, true); // a repeat
    QVERIFY(!showImage);
    sendKey(w, Qt::Key_Enter, 104, Qt::KeypadModifier);
    QVERIFY(showImage);
    for (const char *id : {"a", "b", "c"})
        announce(id, id, picture(20, 15));
    QTRY_VERIFY(button(0)->x() > 0);
    // Right follows auto-repeat; a repeated BACK does nothing.
    sendKey(w, Qt::Key_Right, 114);
    sendKey(w, Qt::Key_Right, 114, {}, true);
    QVERIFY(preview->isVisible());
    QCOMPARE(preview->x(), button(2)->mapTo(w, QPoint()).x() - 100);
    sendKey(w, Qt::Key_Escape, 9, {}, true);
    QVERIFY(showImage);
    sendKey(w, Qt::Key_Escape, 9, Qt::ShiftModifier); // Shift is no modifier that is held off
    QVERIFY(!showImage);
}

void TestWidget::arrowsMoveFocusAndPreview()
{
    sendKey(w, Qt::Key_Menu);
    for (const char *id : {"a", "b", "c"})
        announce(id, id, picture(20, 15));
    QTRY_VERIFY(button(0)->x() > 0);
    const auto previewOver = [this](int i) {
        return preview->isVisible() && preview->x() == button(i)->mapTo(w, QPoint()).x() - 100;
    };
    sendKey(w, Qt::Key_Left); // from the first, wrapping to the last
    QVERIFY(previewOver(2));
    sendKey(w, Qt::Key_Right); // wrapping to the first
    QVERIFY(previewOver(0));
    sendKey(w, Qt::Key_Right);
    QVERIFY(previewOver(1));
    // The pointer entering a button moves the focus there.
    QTest::mouseMove(w->windowHandle(), QPoint(9, 9));
    QTest::mouseMove(w->windowHandle(), centreOf(button(2)));
    QTRY_VERIFY(previewOver(2));
    sendKey(w, Qt::Key_Left);
    QVERIFY(previewOver(1));
    // Leaving the button the pointer was on leaves the key's preview alone.
    QTest::mouseMove(w->windowHandle(), QPoint(9, 9));
    QTest::qWait(50);
    QVERIFY(previewOver(1));
}

void TestWidget::digitsPlayTheNthButton()
{
    QUdpSocket player;
    QVERIFY(player.bind(QHostAddress::LocalHost, 3601));
    showImage = true;
    for (int i = 1; i <= 9; ++i) {
        const QString ip = QString("127.0.0.%1").arg(10 + i);
        announce(ip, ip, picture(20, 15));
        client.jsonList << playable(ip);
    }
    QTRY_VERIFY(button(8)->x() > 0);
    for (int n : {9, 4}) {
        buttonClickable = true;
        LogCapture::lines().clear();
        sendKey(w, 0, quint32(520 + n));
        QCOMPARE(LogCapture::lines().value(1), QString("play source:  \"127.0.0.%1\"").arg(10 + n));
        QCOMPARE(preview->x(), button(n - 1)->mapTo(w, QPoint()).x() - 100);
    }
    // The focus stays on the fourth: OK plays it again once the lock opens.
    buttonClickable = true;
    LogCapture::lines().clear();
    sendKey(w, 0, 360);
    QCOMPARE(LogCapture::lines().value(1), QString("play source:  \"127.0.0.14\""));
}

void TestWidget::okDuringClickLockAndRefresh()
{
    showImage = true;
    client.jsonList << playable("127.0.0.11") << playable("127.0.0.12");
    announce("127.0.0.11", "A", picture(20, 15));
    announce("127.0.0.12", "B", picture(20, 15));
    QTRY_VERIFY(button(0)->x() > 0);
    sendKey(w, Qt::Key_Return);
    LogCapture::lines().clear();
    sendKey(w, Qt::Key_Return); // within the lock: the mouse's refusal
    QCOMPARE(LogCapture::lines(), QStringList({"button unclickable"}));

    // Keys inside the nested loop of a refresh pass's fetch, while the
    // buttons are deleted and made again under them.
    QTcpServer hung;
    QVERIFY(hung.listen(QHostAddress::LocalHost));
    const QString url = QString("http://127.0.0.1:%1/snap.jpg").arg(hung.serverPort());
    QStringList seen;
    QTimer::singleShot(300, this, [&] {
        sendKey(w, Qt::Key_Right);
        seen << QString::number(w->horizontalLayout->count());
        QTest::mousePress(w->windowHandle(), Qt::RightButton, {}, QPoint(100, 850));
        sendKey(w, Qt::Key_Right); // no buttons now
        sendKey(w, 0, 360);
        announce("127.0.0.12", "B", picture(20, 15));
        sendKey(w, Qt::Key_Right); // one button: stays on it
        seen << QString::number(w->horizontalLayout->count());
    });
    emit client.sourceUpdated("127.0.0.11", "A", url); // held for the fetch limit
    QCOMPARE(seen, QStringList({"2", "1"}));
    QCOMPARE(w->horizontalLayout->count(), 2); // the fetch's failed update made A again
    QCOMPARE(button(0)->toolTip(), QString("127.0.0.12"));
    client.jsonList << playable("127.0.0.12");
    QTRY_VERIFY_WITH_TIMEOUT(buttonClickable, 5000);
    LogCapture::lines().clear();
    sendKey(w, 0, 360);
    QCOMPARE(LogCapture::lines().value(1), QString("play source:  \"127.0.0.12\""));
}

void TestWidget::keysWhileWarningBoxIsOpen_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("scan");
    QTest::addColumn<bool>("closes");
    QTest::newRow("remote OK") << 0 << 360 << true;
    QTest::newRow("Return") << int(Qt::Key_Return) << 36 << true;
    QTest::newRow("Back") << int(Qt::Key_Back) << 0 << true;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 9 << true;
    QTest::newRow("Menu") << int(Qt::Key_Menu) << 0 << false;
    QTest::newRow("Right") << int(Qt::Key_Right) << 114 << false;
    QTest::newRow("digit 1") << int(Qt::Key_1) << 10 << false;
}

void TestWidget::keysWhileWarningBoxIsOpen()
{
    QFETCH(int, key);
    QFETCH(int, scan);
    QFETCH(bool, closes);
    showImage = true;
    client.jsonList << playable("127.0.0.11", "0") << playable("127.0.0.12", "0");
    announce("127.0.0.11", "A", picture(20, 15));
    announce("127.0.0.12", "B", picture(20, 15));
    QTRY_VERIFY(button(0)->x() > 0);

    bool stillOpen = false;
    QTimer::singleShot(200, this, [&] {
        QWidget *box = QApplication::activeModalWidget();
        QVERIFY(qobject_cast<QMessageBox *>(box));
        sendKey(box->focusWidget() ? box->focusWidget() : box, key, quint32(scan));
        QTest::qWait(100);
        stillOpen = box->isVisible();
        if (stillOpen)
            box->close();
    });
    sendKey(w, 0, 360); // OK on A: the warning box
    QCOMPARE(stillOpen, !closes);
    // The key did nothing else: the bar is on, no play, the focus on A.
    QVERIFY(showImage);
    QCOMPARE(w->horizontalLayout->count(), 2);
    QVERIFY(preview->isHidden());
    QCOMPARE(LogCapture::lines().count("play source:  \"127.0.0.11\""), 1);
    QCOMPARE(LogCapture::lines().filter("play source").size(), 1);
}

void TestWidget::focusAfterRediscovery()
{
    showImage = true;
    announce("a", "A", picture(20, 15));
    announce("b", "B", picture(20, 15));
    QTRY_VERIFY(button(0)->x() > 0);
    sendKey(w, Qt::Key_Right); // focus on B
    const auto rediscover = [this] {
        QTest::mousePress(w->windowHandle(), Qt::RightButton, {}, QPoint(100, 850));
        QTest::mouseRelease(w->windowHandle(), Qt::RightButton, {}, QPoint(100, 850));
        QTRY_VERIFY_WITH_TIMEOUT(!onDiscovery, 5000);
    };
    rediscover();
    announce("a", "A", picture(20, 15)); // first back: focused meanwhile
    announce("b", "B", picture(20, 15)); // then B comes back: the focus returns
    QTRY_VERIFY(button(1)->x() > 0);
    sendKey(w, Qt::Key_Right); // from B, wrapping to A
    QCOMPARE(preview->x(), button(0)->mapTo(w, QPoint()).x() - 100);
    sendKey(w, Qt::Key_Right); // focus on B again
    rediscover();
    announce("c", "C", picture(20, 15)); // B never comes back: the first has it
    announce("a", "A", picture(20, 15));
    QTRY_VERIFY(button(1)->x() > 0);
    sendKey(w, Qt::Key_Right);
    QCOMPARE(preview->x(), button(1)->mapTo(w, QPoint()).x() - 100);
}

void TestWidget::focusOnButtonLeftWhileOff()
{
    // A fetch ending after the switch-off leaves its button in the hidden bar;
    // switched on, that button shows first and must have the focus.
    announce("a", "A", picture(20, 15));
    sendKey(w, Qt::Key_Menu);
    waitForWindowToEnd();
    announce("b", "B", picture(20, 15));
    QTRY_VERIFY(button(1)->x() > 0);
    sendKey(w, Qt::Key_Right);
    QVERIFY(preview->isVisible());
    QCOMPARE(preview->x(), button(1)->mapTo(w, QPoint()).x() - 100);
}

void TestWidget::focusMarkOnlyInKeyboardUse()
{
    QFile qss(":/myQss.qss");
    QVERIFY(qss.open(QIODevice::ReadOnly));
    qApp->setStyleSheet(QString::fromLatin1(qss.readAll()));
    QTest::mouseDClick(w->windowHandle(), Qt::LeftButton, {}, QPoint(300, 300));
    announce("a", "A", picture(1280, 720));
    announce("b", "B", picture(1280, 720));
    QTRY_VERIFY(button(0)->x() > 0);
    const auto borderOf = [](QToolButton *b) {
        return b->grab().toImage().pixelColor(0, 40);
    };
    const QColor plain = borderOf(button(0));
    const QSize box = button(0)->contentsRect().size();
    // With the mouse alone nothing changes.
    QTest::mouseMove(w->windowHandle(), centreOf(button(0)));
    QTest::mouseMove(w->windowHandle(), centreOf(button(1)));
    QTest::mouseMove(w->windowHandle(), QPoint(11, 11));
    QCOMPARE(borderOf(button(0)), plain);
    QCOMPARE(borderOf(button(1)), plain);

    sendKey(w, Qt::Key_Right); // B has been entered last: A is next
    QVERIFY(borderOf(button(0)) != plain);
    QCOMPARE(borderOf(button(1)), plain);
    QCOMPARE(button(0)->contentsRect().size(), box);
    sendKey(w, Qt::Key_Right);
    QCOMPARE(borderOf(button(0)), plain);
    QVERIFY(borderOf(button(1)) != plain);
    // The pointer moving ends keyboard use.
    QTest::mouseMove(w->windowHandle(), QPoint(13, 13));
    QTRY_COMPARE(borderOf(button(1)), plain);
    qApp->setStyleSheet(QString());
}

void TestWidget::offlineMark()
{
    showImage = true;
    const auto markOf = [this](int i) {
        QWidget *mark = button(i)->findChild<QWidget *>("offlineMark");
        return mark && mark->isVisible();
    };
    announce("a", "A", picture(20, 15));
    emit download.previewFailed("b", "B"); // before the first update: born marked
    announce("b", "B", QPixmap());
    announce("c", "C", QPixmap()); // no preview address: never marked
    QTRY_VERIFY(button(2)->x() > 0);
    QVERIFY(!markOf(0));
    QVERIFY(markOf(1));
    QVERIFY(!markOf(2));
    QCOMPARE(LogCapture::lines().filter("source "), QStringList({"source offline: B [b]"}));
    const QRect place = button(1)->geometry();

    // Still a button like the others: digits count it, OK clicks it.
    client.jsonList << playable("b");
    LogCapture::lines().clear();
    sendKey(w, 0, 522);
    QCOMPARE(LogCapture::lines().value(1), QString("play source:  \"b\""));

    // Only changes are logged.
    emit download.previewFailed("b", "B");
    announce("b", "B", QPixmap());
    emit download.previewFailed("a", "A");
    announce("a", "A", QPixmap());
    QVERIFY(markOf(0));
    announce("b", "B", picture(20, 15));
    QVERIFY(!markOf(1));
    QCOMPARE(button(1)->geometry(), place);
    QCOMPARE(LogCapture::lines().filter("source "),
             QStringList({"source offline: A [a]", "source online: B [b]"}));
}

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
