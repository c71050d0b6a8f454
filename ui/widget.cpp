#include "widget.h"
#include "ui_widget.h"

#include "areascale.h"
#include "downloader.h"
#include "udpclient.h"

#include <QApplication>
#include <QCursor>
#include <QDebug>
#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QIconEngine>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmapCache>
#include <QPointer>
#include <QShowEvent>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

#include <cstring>

namespace {
const int label_width = 200;
const int label_height = 150;
const int label_num = 9;
const int scrollArea_x = 60;
const int scrollArea_y = 792;

const int button_min_height = 155;
const int bar_height = 165;
const QSize preview_size(400, 300);

// The size a picture of the given size is shown at in a box: its fit, with its
// aspect ratio, never enlarged (as QIcon gives it).
QSize shownSize(const QSize &picture, const QSize &box)
{
    if (picture.width() <= box.width() && picture.height() <= box.height())
        return picture;
    return picture.scaled(box, Qt::KeepAspectRatio);
}

// The dynamic property of a source button that holds the box its picture was
// last painted in: the button's contents (its width less the style sheet's
// border) bounded by the icon size, so not known before the style has painted.
const char paintedBoxProperty[] = "paintedIconBox";

// A button's picture at both sizes it is painted at: the hover preview (as it
// arrives, already fitted to 400 x 300) and the button's own, the fit into the
// box the button's previous picture was painted in. With the pixmap cache
// limited, a plain icon would scale its picture again on every paint; this one
// scales once, when it is made, and hands out the stored copies.
class ShownSizesIconEngine : public QIconEngine
{
public:
    ShownSizesIconEngine(const QPixmap &large, QToolButton *button, const QSize &box)
        : m_large(large), m_button(button)
    {
        m_small = scaledTo(shownSize(large.size(), box));
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        return shownSize(m_large.size(), size);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        if (mode != QIcon::Normal) // never asked for by the bar; Qt derives these
            return QIcon(m_large).pixmap(size, mode, state);
        const QSize shown = shownSize(m_large.size(), size);
        if (shown == m_large.size())
            return m_large;
        // Every other request is the button's own paint: its box is where the
        // button's next picture is made for.
        if (m_button && m_button->property(paintedBoxProperty).toSize() != size)
            m_button->setProperty(paintedBoxProperty, size);
        if (shown == m_small.size())
            return m_small;
        // A box that changed since the picture was made (the layout gave the
        // buttons a new width) is scaled for once and kept.
        m_small = scaledTo(shown);
        return m_small;
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const QPixmap pm = pixmap(rect.size(), mode, state);
        painter->drawPixmap(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, pm.size(), rect),
                            pm);
    }

    QIconEngine *clone() const override { return new ShownSizesIconEngine(*this); }

private:
    QPixmap scaledTo(const QSize &size) const
    {
        return size == m_large.size()
                   ? m_large
                   : QPixmap::fromImage(AreaScaler::scaled(m_large.toImage(), size));
    }

    QPixmap m_large, m_small;
    QPointer<QToolButton> m_button;
};

// The icon of a picture for a button: its small copy is made for the box the
// button was last painted in, or for its icon size before its first paint.
QIcon iconOf(const QPixmap &pic, QToolButton *button)
{
    if (pic.isNull())
        return QIcon();
    QSize box = button->property(paintedBoxProperty).toSize();
    if (!box.isValid())
        box = button->iconSize();
    return QIcon(new ShownSizesIconEngine(pic, button, box));
}

// What a key means to the bar. Several remote keys reach Qt with no key at
// all, so a key is known by its Qt key or by its native scan code: the evdev
// code + 8 under libinput, Qt's evdev handler and xcb alike.
enum class KeyAction { None, Ok, Back, Menu, Left, Right, Up, Down, Digit };

struct KeyMeaning
{
    KeyAction action = KeyAction::None;
    int digit = 0;
};

constexpr quint32 scanOf(int evdevCode)
{
    return quint32(evdevCode) + 8;
}

// evdev codes (linux/input-event-codes.h)
constexpr int evEsc = 1, evOne = 2, evNine = 10, evEnter = 28, evSpace = 57, evKpEnter = 96,
              evUp = 103, evLeft = 105, evRight = 106, evDown = 108, evCompose = 127, evMenu = 139,
              evBack = 158, evExit = 174, evClose = 206, evOk = 0x160, evSelect = 0x161,
              evNumeric0 = 0x200;

KeyMeaning meaningOf(const QKeyEvent *event)
{
    const int key = event->key();
    const quint32 scan = event->nativeScanCode();
    const auto is = [scan](int evdev) {
        return scan == scanOf(evdev);
    };
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Select:
    case Qt::Key_Space:
        return {KeyAction::Ok};
    case Qt::Key_Escape:
    case Qt::Key_Back:
    case Qt::Key_Exit:
    case Qt::Key_Close:
        return {KeyAction::Back};
    case Qt::Key_Menu:
    case Qt::Key_MenuKB:
        return {KeyAction::Menu};
    case Qt::Key_Left:
        return {KeyAction::Left};
    case Qt::Key_Right:
        return {KeyAction::Right};
    case Qt::Key_Up:
        return {KeyAction::Up};
    case Qt::Key_Down:
        return {KeyAction::Down};
    default:
        break;
    }
    if (is(evOk) || is(evSelect) || is(evEnter) || is(evKpEnter) || is(evSpace))
        return {KeyAction::Ok};
    if (is(evEsc) || is(evBack) || is(evExit) || is(evClose))
        return {KeyAction::Back};
    if (is(evMenu) || is(evCompose))
        return {KeyAction::Menu};
    if (is(evLeft))
        return {KeyAction::Left};
    if (is(evRight))
        return {KeyAction::Right};
    if (is(evUp))
        return {KeyAction::Up};
    if (is(evDown))
        return {KeyAction::Down};
    // The digit row by its place, whatever the layout prints on it (a French
    // keyboard gives & é " ... there), and the remote's numeric keys.
    if (scan >= scanOf(evOne) && scan <= scanOf(evNine))
        return {KeyAction::Digit, int(scan - scanOf(evOne)) + 1};
    if (scan >= scanOf(evNumeric0 + 1) && scan <= scanOf(evNumeric0 + 9))
        return {KeyAction::Digit, int(scan - scanOf(evNumeric0))};
    if (key >= Qt::Key_1 && key <= Qt::Key_9)
        return {KeyAction::Digit, key - Qt::Key_0};
    return {};
}

// The dynamic property the style sheet marks the focused button by.
const char keyFocusProperty[] = "keyFocus";

// A small mark in a button's corner for a source whose latest preview fetch
// failed. It covers part of the picture, so the button keeps its size.
class OfflineMark : public QWidget
{
public:
    explicit OfflineMark(QWidget *button) : QWidget(button)
    {
        setObjectName(QStringLiteral("offlineMark"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        setGeometry(6, 6, side, side);
    }

    static constexpr int side = 18;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(Qt::white, 2));
        p.setBrush(QColor(220, 30, 30));
        p.drawEllipse(QRectF(rect()).adjusted(1, 1, -1, -1));
        p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
        const QPointF c = QRectF(rect()).center();
        p.drawLine(c - QPointF(4, 4), c + QPointF(4, 4));
        p.drawLine(c + QPointF(-4, 4), c + QPointF(4, -4));
    }
};
} // namespace

bool showImage = false;
bool buttonClickable = true;
// Built during static initialisation, before the application object: their
// constructors bind no socket and start no timer.
UdpClient client(nullptr);
Downloader download(nullptr);
QLabel *preview = nullptr;

Widget::Widget(QWidget *parent) : QWidget(parent), ui(new Ui::Widget)
{
    ui->setupUi(this);
    setAttribute(Qt::WA_TranslucentBackground);
    hide();

    horizontalLayoutWidget = new QWidget(this);
    horizontalLayoutWidget->setObjectName(QStringLiteral("horizontalLayoutWidget"));
    horizontalLayoutWidget->setGeometry(
        QRect(scrollArea_x, scrollArea_y, label_num * label_width, bar_height));
    horizontalLayoutWidget->setFixedHeight(bar_height);

    horizontalLayout = new QHBoxLayout(horizontalLayoutWidget);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setAlignment(Qt::AlignCenter);
    horizontalLayout->setSpacing(0);
    horizontalLayout->setContentsMargins(0, 0, 0, 0);
    horizontalLayoutWidget->setLayout(horizontalLayout);

    // The link and the downloader outlive the window: the window's destructor
    // undoes this, so that a window made again never doubles every fetch.
    m_fetchConnection = connect(&client, SIGNAL(sourceUpdated(QString, QString, QString)),
                                &download, SLOT(downloadURL2(QString, QString, QString)));
    connect(&download, SIGNAL(imageUpdated(QString, QString, QPixmap &)), this,
            SLOT(updateButton(QString, QString, QPixmap &)));
    connect(&download, SIGNAL(previewFailed(QString, QString)), this,
            SLOT(previewFailed(QString, QString)));

    setCursor(Qt::BlankCursor);
    // The window holds the keyboard focus itself; buttons never take it, so
    // Qt moves no focus on arrows or Tab and keys reach the bar.
    setFocusPolicy(Qt::StrongFocus);
    // Keys are taken before any widget sees them: the warning box too must
    // answer the remote's keys, and close on them only.
    qApp->installEventFilter(this);

    preview = new QLabel(this);
    preview->hide();

    // Every button holds its picture at the sizes it is painted at; scaled
    // copies need not be cached.
    QPixmapCache::setCacheLimit(1);
}

Widget::~Widget()
{
    disconnect(m_fetchConnection);
    hide();
    horizontalLayoutWidget->hide();
    delete ui;
}

void Widget::updateButton(QString id, QString cName, QPixmap &pic)
{
    bool isRefresh = false;
    if (horizontalLayout) {
        const int itemCount = horizontalLayout->count();
        for (int itemIndex = 0; itemIndex < itemCount; ++itemIndex) {
            auto *toolButton =
                qobject_cast<QToolButton *>(horizontalLayout->itemAt(itemIndex)->widget());
            if (toolButton && toolButton->toolTip() == id) {
                toolButton->setIcon(iconOf(pic, toolButton));
                setOffline(toolButton, m_failedId == id);
                isRefresh = true;
            }
        }
    }
    const bool failed = m_failedId == id;
    m_failedId.clear();
    if (isRefresh)
        return;

    qDebug() << "update button";
    auto *pixButton = new QToolButton(horizontalLayoutWidget);
    pixButton->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    pixButton->setToolTip(id);
    pixButton->setText(cName);
    pixButton->setMinimumSize(label_width, button_min_height);
    pixButton->resize(label_width, label_height);
    if (!pic.isNull()) {
        // The minimum size has already made the button taller than its picture.
        pixButton->setIconSize(QSize(label_width, label_height));
        pixButton->setIcon(iconOf(pic, pixButton));
    }
    pixButton->setFocusPolicy(Qt::NoFocus);
    connect(pixButton, SIGNAL(clicked()), this, SLOT(buttonClicked()));
    pixButton->installEventFilter(this);
    horizontalLayout->addWidget(pixButton);
    setOffline(pixButton, failed);

    if (id == m_returnId) {
        m_returnId.clear();
        focusButton(pixButton, false);
    } else if (!buttonOf(m_focusId)) {
        focusButton(pixButton, false);
    }
}

void Widget::previewFailed(QString id, QString)
{
    // Told just before the update of the same source.
    m_failedId = id;
}

void Widget::setOffline(QToolButton *button, bool offline)
{
    const QString id = button->toolTip();
    if (offline == m_offline.contains(id))
        return;
    if (offline) {
        m_offline.insert(id);
        (new OfflineMark(button))->show();
    } else {
        m_offline.remove(id);
        delete button->findChild<QWidget *>(QStringLiteral("offlineMark"),
                                            Qt::FindDirectChildrenOnly);
    }
    qDebug().noquote().nospace() << (offline ? "source offline: " : "source online: ")
                                 << button->text() << " [" << id << "]";
}

int Widget::buttonCount() const
{
    int n = 0;
    for (int i = 0; i < horizontalLayout->count(); ++i)
        n += buttonAt(i) ? 1 : 0;
    return n;
}

QToolButton *Widget::buttonAt(int index) const
{
    QLayoutItem *item = horizontalLayout->itemAt(index);
    return item ? qobject_cast<QToolButton *>(item->widget()) : nullptr;
}

QToolButton *Widget::buttonOf(const QString &id) const
{
    if (id.isEmpty())
        return nullptr;
    for (int i = 0; i < horizontalLayout->count(); ++i) {
        QToolButton *b = buttonAt(i);
        if (b && b->toolTip() == id)
            return b;
    }
    return nullptr;
}

void Widget::showPreviewOf(QToolButton *b)
{
    preview->setPixmap(b->icon().pixmap(preview_size, QIcon::Normal, QIcon::Off));
    // The layout may not have placed a button that has just appeared.
    horizontalLayoutWidget->layout()->activate();
    const QPoint p = b->pos() + (b->parentWidget() ? b->parentWidget()->pos() : QPoint());
    preview->setGeometry(p.x() - 100, p.y() - 300, preview_size.width(), preview_size.height());
    preview->show();
    m_previewId = b->toolTip();
}

void Widget::focusButton(QToolButton *button, bool byKey)
{
    m_focusId = button ? button->toolTip() : QString();
    if (byKey) {
        m_returnId.clear();
        if (button)
            showPreviewOf(button);
    }
    updateFocusMark();
}

void Widget::setKeyboardUse(bool on)
{
    if (m_keyboardUse == on)
        return;
    m_keyboardUse = on;
    updateFocusMark();
}

void Widget::updateFocusMark()
{
    for (int i = 0; i < horizontalLayout->count(); ++i) {
        QToolButton *b = buttonAt(i);
        if (!b)
            continue;
        const bool marked = m_keyboardUse && b->toolTip() == m_focusId;
        if (b->property(keyFocusProperty).toBool() == marked)
            continue;
        b->setProperty(keyFocusProperty, marked);
        // A style sheet reads dynamic properties only when it polishes.
        b->style()->unpolish(b);
        b->style()->polish(b);
        b->update();
    }
}

void Widget::takeKeyboard()
{
    // Where no window manager activates windows (a bare X server, eglfs,
    // linuxfb) the window asks for the keyboard itself.
    activateWindow();
    setFocus(Qt::OtherFocusReason);
}

void Widget::paintEvent(QPaintEvent *event)
{
    // The window draws nothing itself, so where a child was hidden or deleted
    // only the backing store's own clearing would remove it. linuxfb's backing
    // store does not clear before a paint (eglfs's and xcb's do), which left a
    // switched-off bar and its preview on the screen: clear here on every
    // platform.
    QPainter p(this);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    for (const QRect &r : event->region())
        p.fillRect(r, Qt::transparent);
}

void Widget::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    takeKeyboard();
}

bool Widget::handleKey(QKeyEvent *event)
{
    const KeyMeaning k = meaningOf(event);
    if (k.action == KeyAction::None)
        return false;
    const Qt::KeyboardModifiers held = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    if (event->modifiers() & held)
        return false;
    const bool repeat = event->isAutoRepeat();
    if (repeat && k.action != KeyAction::Left && k.action != KeyAction::Right)
        return true;

    // The warning box runs its own loop inside a click: OK and BACK close it,
    // and do nothing else; no other key of the bar reaches it.
    if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
        if (k.action == KeyAction::Ok || k.action == KeyAction::Back)
            box->close();
        return true;
    }

    setKeyboardUse(true);
    const int count = buttonCount();
    QToolButton *focused = buttonOf(m_focusId);
    if (!focused && count > 0)
        focusButton(focused = buttonAt(0), false);
    switch (k.action) {
    case KeyAction::Menu:
        switchBar();
        break;
    case KeyAction::Ok:
        if (!showImage)
            switchBar();
        else if (focused)
            focused->click();
        break;
    case KeyAction::Back:
        if (showImage)
            switchBar();
        break;
    case KeyAction::Left:
    case KeyAction::Right:
        if (showImage && focused) {
            int index = 0;
            while (buttonAt(index) != focused)
                ++index;
            const int step = k.action == KeyAction::Left ? count - 1 : 1;
            focusButton(buttonAt((index + step) % count), true);
        }
        break;
    case KeyAction::Digit:
        if (showImage && k.digit <= count) {
            QToolButton *b = buttonAt(k.digit - 1);
            focusButton(b, true);
            b->click();
        }
        break;
    case KeyAction::Up:
    case KeyAction::Down:
    case KeyAction::None:
        break;
    }
    return true;
}

bool Widget::eventFilter(QObject *obj, QEvent *event)
{
    // Everything of the application passes here; only widgets count, not the
    // windows that hand the same events on to them.
    switch (event->type()) {
    case QEvent::KeyPress: {
        QWidget *top = obj->isWidgetType() ? static_cast<QWidget *>(obj)->window() : nullptr;
        if (top && (top == this ||
                    (qobject_cast<QMessageBox *>(top) && top == QApplication::activeModalWidget())))
            return handleKey(static_cast<QKeyEvent *>(event));
        return false;
    }
    case QEvent::MouseMove:
        if (obj->isWidgetType() && static_cast<QWidget *>(obj)->window() == this)
            setKeyboardUse(false);
        return false;
    default:
        break;
    }
    if (std::strcmp(obj->metaObject()->className(), QToolButton::staticMetaObject.className()) != 0)
        return QObject::eventFilter(obj, event);

    auto *b = static_cast<QToolButton *>(obj);
    switch (event->type()) {
    case QEvent::Enter:
        showPreviewOf(b);
        focusButton(b, false);
        m_returnId.clear();
        return true;
    case QEvent::Leave:
        // A key may have moved the preview to another button meanwhile.
        if (m_previewId == b->toolTip()) {
            preview->clear();
            preview->hide();
            m_previewId.clear();
        }
        return true;
    case QEvent::MouseButtonPress:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::RightButton) {
            qDebug() << "do nothing";
            return true;
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(obj, event);
}

void Widget::removeButtons()
{
    // No leave arrives from a button deleted under the pointer, and a preview
    // shown by a key has no pointer at all.
    preview->clear();
    preview->hide();
    m_previewId.clear();
    m_offline.clear();
    m_failedId.clear();
    while (QLayoutItem *item = horizontalLayout->takeAt(0)) {
        auto *button = qobject_cast<QToolButton *>(item->widget());
        delete item;
        if (!button)
            continue;
        qDebug() << "remove item: " << button->text() << "[" << button->toolTip() << "]";
        delete button;
    }
}

void Widget::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::RightButton)
        return;
    qDebug() << "\n";
    if (!showImage)
        return;
    horizontalLayoutWidget->hide();
    if (!m_focusId.isEmpty())
        m_returnId = m_focusId;
    removeButtons();
    horizontalLayoutWidget->show();
    client.discovery();
}

void Widget::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    switchBar();
}

void Widget::switchBar()
{
    showImage = !showImage;
    m_focusId.clear();
    m_returnId.clear();
    if (showImage) {
        setCursor(Qt::OpenHandCursor);
        horizontalLayoutWidget->show();
        takeKeyboard();
        // A fetch that outlived the switch-off may have left a button behind:
        // it shows first, so it has the focus.
        if (QToolButton *first = buttonAt(0))
            focusButton(first, false);
        client.discovery();
        client.startRefreshPreview(refreshPeriodMs);
    } else {
        setCursor(Qt::BlankCursor);
        horizontalLayoutWidget->hide();
        removeButtons();
        client.jsonList.clear();
        client.stopRefreshPreview();
    }
}

void Widget::buttonClicked()
{
    if (!buttonClickable) {
        qDebug() << "button unclickable";
        return;
    }
    auto *button = qobject_cast<QToolButton *>(sender());
    buttonClickable = false;
    qDebug() << "button turns to unclickable";
    // Started before the command, so the lock ends on time whatever follows.
    QTimer::singleShot(clickLockMs, this, SLOT(onTimeOut()));

    if (client.playSource(button ? button->toolTip() : QString()))
        return;
    QMessageBox::warning(nullptr, QStringLiteral("<font size='4' color='black'>title</font>"),
                         QStringLiteral("<font size='4' color='black'>Source unavailable, Please "
                                        "enable transmiter's TS and rediscovery by right "
                                        "clicking the mouse</font>"),
                         QMessageBox::Ok);
}

void Widget::buttonHovered()
{
    auto *button = qobject_cast<QToolButton *>(sender());
    qDebug() << "mouse is hovering " << (button ? button->text() : QString());
}

void Widget::onTimeOut()
{
    qDebug() << "button turns to clickable";
    buttonClickable = true;
}
