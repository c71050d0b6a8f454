#include "widget.h"
#include "ui_widget.h"

#include "areascale.h"
#include "downloader.h"
#include "udpclient.h"

#include <QCursor>
#include <QDebug>
#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QIconEngine>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmapCache>
#include <QPointer>
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
        ++iconScalingsAtPaint;
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
} // namespace

int iconScalingsAtPaint = 0;
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

    connect(&client, SIGNAL(sourceUpdated(QString, QString, QString)), &download,
            SLOT(downloadURL2(QString, QString, QString)));
    connect(&download, SIGNAL(imageUpdated(QString, QString, QPixmap &)), this,
            SLOT(updateButton(QString, QString, QPixmap &)));

    setCursor(Qt::BlankCursor);

    preview = new QLabel(this);
    preview->hide();

    // Every button holds its picture at the sizes it is painted at; scaled
    // copies need not be cached.
    QPixmapCache::setCacheLimit(1);
}

Widget::~Widget()
{
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
                isRefresh = true;
            }
        }
    }
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
    connect(pixButton, SIGNAL(clicked()), this, SLOT(buttonClicked()));
    pixButton->installEventFilter(this);
    horizontalLayout->addWidget(pixButton);
}

bool Widget::eventFilter(QObject *obj, QEvent *event)
{
    if (std::strcmp(obj->metaObject()->className(), QToolButton::staticMetaObject.className()) != 0)
        return QObject::eventFilter(obj, event);

    auto *b = static_cast<QToolButton *>(obj);
    switch (event->type()) {
    case QEvent::Enter: {
        preview->setPixmap(b->icon().pixmap(preview_size, QIcon::Normal, QIcon::Off));
        const QPoint p = b->pos() + (b->parentWidget() ? b->parentWidget()->pos() : QPoint());
        preview->setGeometry(p.x() - 100, p.y() - 300, preview_size.width(), preview_size.height());
        preview->show();
        return true;
    }
    case QEvent::Leave:
        preview->clear();
        preview->hide();
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
    removeButtons();
    horizontalLayoutWidget->show();
    client.discovery();
}

void Widget::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    showImage = !showImage;
    if (showImage) {
        setCursor(Qt::OpenHandCursor);
        horizontalLayoutWidget->show();
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
