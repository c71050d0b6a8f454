// What the bar shows of a preview, through the real chain (fetch, decode,
// button), against a full-size decode scaled by Qt's icon as the picture's
// sizes are painted: the button's 200 x 150 and the hover preview's 400 x 300.
#include "areascale.h"
#include "downloader.h"
#include "httpserver.h"
#include "udpclient.h"
#include "widget.h"

#include "../tools/txsim/testcard.h"
#include "../tools/txsim/transmitter.h"

#include <QBuffer>
#include <QFile>
#include <QHBoxLayout>
#include <QIcon>
#include <QImage>
#include <QImageWriter>
#include <QPixmapCache>
#include <QRandomGenerator>
#include <QToolButton>
#include <QtMath>
#include <QtTest>

#include <array>

namespace {

QByteArray encode(const QImage &image, const char *format, int quality = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, quality);
    return bytes;
}

QByteArray testCard(QSize size, int index)
{
    Transmitter t;
    t.index = index;
    t.ip = QStringLiteral("127.0.0.%1").arg(10 + index);
    t.name = QStringLiteral("Camera %1").arg(index);
    t.model = QStringLiteral("TX");
    t.colour = QColor::fromHsv((index - 1) * 137 % 360, 200, 170); // as txsim colours them
    return TestCard(size).jpeg(t);
}

// Smooth shading, fine texture, sensor-like noise and a few hard edges.
QImage photoLike(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator rng(7);
    const int w = size.width(), h = size.height();
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const double u = double(x) / w, v = double(y) / h;
            const double sky = 0.5 + 0.5 * qSin(6.0 * u + 3.0 * v);
            const double texture = 0.5 + 0.5 * qSin(0.9 * x) * qCos(0.7 * y);
            const bool ground = v > 0.6 + 0.1 * qSin(9.0 * u);
            const int noise = int(rng.bounded(25)) - 12;
            const int r = int(ground ? 90 + 80 * texture : 120 + 110 * sky) + noise;
            const int g = int(ground ? 110 + 60 * texture : 150 + 80 * sky) + noise;
            const int b = int(ground ? 40 + 30 * texture : 200 + 50 * v) + noise;
            line[x] = qRgb(qBound(0, r, 255), qBound(0, g, 255), qBound(0, b, 255));
        }
    }
    return image;
}

// Per channel (red, green, blue) mean of |a - b| over the picture, in 1/255.
std::array<double, 3> meanAbsDiff(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    std::array<double, 3> sum{};
    for (int row = 0; row < x.height(); ++row) {
        const auto *p = reinterpret_cast<const QRgb *>(x.constScanLine(row));
        const auto *q = reinterpret_cast<const QRgb *>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col) {
            sum[0] += qAbs(qRed(p[col]) - qRed(q[col]));
            sum[1] += qAbs(qGreen(p[col]) - qGreen(q[col]));
            sum[2] += qAbs(qBlue(p[col]) - qBlue(q[col]));
        }
    }
    const double n = double(x.width()) * x.height();
    return {sum[0] / n, sum[1] / n, sum[2] / n};
}

} // namespace

class TestPictures : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void shownAsFullDecodeShowsIt_data();
    void shownAsFullDecodeShowsIt();
    void paintsUseStoredSizes();
    void areaScaleAsSmoothScale_data();
    void areaScaleAsSmoothScale();
    void areaScaleKeepsFlatColour_data();
    void areaScaleKeepsFlatColour();
    void refreshedPicturesArePaintedUnscaled();

private:
    QToolButton *showInBar(const QByteArray &body);

    HttpServer server;
    Widget *w = nullptr;
};

void TestPictures::init()
{
    w = new Widget;
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
}

void TestPictures::cleanup()
{
    delete w;
    w = nullptr;
}

QToolButton *TestPictures::showInBar(const QByteArray &body)
{
    server.route("/pic", "image/jpeg", body);
    // The chain as discovery and refresh drive it: link, downloader, bar.
    emit client.sourceUpdated(QStringLiteral("127.0.0.11"), QStringLiteral("Cam"),
                              server.url("/pic"));
    if (w->horizontalLayout->count() != 1)
        return nullptr;
    return qobject_cast<QToolButton *>(w->horizontalLayout->itemAt(0)->widget());
}

void TestPictures::shownAsFullDecodeShowsIt_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("test card 1 1280x720") << testCard(QSize(1280, 720), 1);
    QTest::newRow("test card 2 1280x720") << testCard(QSize(1280, 720), 2);
    QTest::newRow("test card 5 1920x1080") << testCard(QSize(1920, 1080), 5);
    QTest::newRow("test card 3 640x480") << testCard(QSize(640, 480), 3);
    QTest::newRow("photo 1280x720") << encode(photoLike(QSize(1280, 720)), "JPEG", 85);
    QTest::newRow("photo 1000x777") << encode(photoLike(QSize(1000, 777)), "JPEG", 85);
    // Decoded at 1/2 with the last row and column left out, the closest case.
    QTest::newRow("photo 1283x721") << encode(photoLike(QSize(1283, 721)), "JPEG", 85);
    QTest::newRow("photo 720x1280 portrait") << encode(photoLike(QSize(720, 1280)), "JPEG", 85);
    QTest::newRow("photo 1080x1920 portrait") << encode(photoLike(QSize(1080, 1920)), "JPEG", 85);
    QTest::newRow("photo 1280x720 png") << encode(photoLike(QSize(1280, 720)), "PNG");
    {
        // Progressive: libjpeg buffers the whole picture's coefficients first.
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setQuality(85);
        writer.setProgressiveScanWrite(true);
        QVERIFY(writer.write(photoLike(QSize(1280, 720))));
        QVERIFY(bytes.contains("\xFF\xC2")); // the progressive frame marker
        QTest::newRow("photo 1280x720 progressive") << bytes;
    }
    // One component: libjpeg expands grey to RGB32 itself.
    QTest::newRow("photo 1280x720 grey") << encode(
        photoLike(QSize(1280, 720)).convertToFormat(QImage::Format_Grayscale8), "JPEG", 85);
    QTest::newRow("photo 300x500 portrait") << encode(photoLike(QSize(300, 500)), "JPEG", 85);
    QTest::newRow("photo 320x240 not scaled") << encode(photoLike(QSize(320, 240)), "JPEG", 85);
}

void TestPictures::shownAsFullDecodeShowsIt()
{
    QFETCH(QByteArray, body);
    QVERIFY(!body.isEmpty());
    QToolButton *b = showInBar(body);
    QVERIFY(b);
    QCOMPARE(b->iconSize(), QSize(200, 150));

    QPixmap full;
    QVERIFY(full.loadFromData(body));
    const QIcon reference(full);
    for (const QSize &box : {QSize(200, 150), QSize(400, 300)}) {
        const QPixmap expected = reference.pixmap(box, QIcon::Normal, QIcon::Off);
        const QPixmap shown = b->icon().pixmap(box, QIcon::Normal, QIcon::Off);
        QCOMPARE(shown.size(), expected.size());
        const auto diff = meanAbsDiff(shown.toImage(), expected.toImage());
        const QString why = QStringLiteral("%1x%2: mean |diff| R %3 G %4 B %5")
                                .arg(box.width())
                                .arg(box.height())
                                .arg(diff[0], 0, 'f', 2)
                                .arg(diff[1], 0, 'f', 2)
                                .arg(diff[2], 0, 'f', 2);
        qInfo("%s", qPrintable(why));
        for (double d : diff)
            QVERIFY2(d <= 3.0, qPrintable(why));
    }
}

void TestPictures::paintsUseStoredSizes()
{
    QCOMPARE(QPixmapCache::cacheLimit(), 1);
    QToolButton *b = showInBar(testCard(QSize(1280, 720), 4));
    QVERIFY(b);
    // No full-size copy reaches the button: its largest picture is the hover fit.
    QCOMPARE(b->icon().actualSize(QSize(4000, 4000)), QSize(400, 225));
    // Both painted sizes are held: asking again hands out the same pixmap, not
    // a fresh scaled copy (the cache keeps nothing).
    for (const QSize &box : {QSize(200, 150), QSize(400, 300)}) {
        const QPixmap first = b->icon().pixmap(box);
        QCOMPARE(b->icon().pixmap(box).cacheKey(), first.cacheKey());
    }
    QCOMPARE(b->icon().pixmap(QSize(200, 150)).size(), QSize(200, 112));
}

void TestPictures::areaScaleAsSmoothScale_data()
{
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::addColumn<bool>("alpha");
    QTest::newRow("1/2 decode to the hover fit") << QSize(640, 360) << QSize(400, 225) << false;
    QTest::newRow("hover fit to the button") << QSize(400, 225) << QSize(196, 110) << false;
    QTest::newRow("odd ratio") << QSize(500, 388) << QSize(386, 300) << false;
    QTest::newRow("portrait") << QSize(360, 640) << QSize(168, 300) << false;
    QTest::newRow("one direction only") << QSize(400, 300) << QSize(200, 300) << false;
    QTest::newRow("tiny") << QSize(7, 5) << QSize(3, 2) << false;
    QTest::newRow("with alpha") << QSize(400, 225) << QSize(196, 110) << true;
    // Too few source pixels for a pair of taps: Qt's smooth scale does it.
    QTest::newRow("to one line") << QSize(800, 300) << QSize(400, 1) << false;
}

void TestPictures::areaScaleAsSmoothScale()
{
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QFETCH(bool, alpha);
    QImage source = photoLike(from);
    if (alpha) {
        source = source.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < from.height(); ++y)
            for (int x = 0; x < from.width(); ++x)
                source.setPixel(
                    x, y, (source.pixel(x, y) & 0xffffff) | uint(x * 255 / from.width()) << 24);
    }
    const QImage qt = source.scaled(to, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage ours = AreaScaler::scaled(source, to);
    AreaScaler::setScalarOnly(true);
    const QImage portable = AreaScaler::scaled(source, to);
    AreaScaler::setScalarOnly(false);
    for (const QImage &image : {ours, portable}) {
        QCOMPARE(image.size(), to);
        QCOMPARE(image.hasAlphaChannel(), alpha);
        // Both average the same areas; they differ in rounding only.
        const QImage a = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const QImage b = qt.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        double sum = 0;
        int most = 0;
        for (int y = 0; y < to.height(); ++y)
            for (int x = 0; x < to.width(); ++x)
                for (int shift : {0, 8, 16, 24}) {
                    const int d = qAbs(int(a.pixel(x, y) >> shift & 0xff) -
                                       int(b.pixel(x, y) >> shift & 0xff));
                    sum += d;
                    most = qMax(most, d);
                }
        const double mean = sum / (4.0 * to.width() * to.height());
        const QString why =
            QStringLiteral("mean |diff| %1, largest %2").arg(mean, 0, 'f', 3).arg(most);
        qInfo("%s", qPrintable(why));
        QVERIFY2(mean <= 0.1 && most <= 2, qPrintable(why));
    }
#if defined(__SSE2__)
    // The portable path computes the same pixels as the SIMD one.
    QCOMPARE(portable, ours);
#endif
}

void TestPictures::areaScaleKeepsFlatColour_data()
{
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    for (const auto &sizes : {std::make_pair(QSize(640, 360), QSize(400, 225)),
                              std::make_pair(QSize(1000, 777), QSize(386, 300)),
                              std::make_pair(QSize(641, 360), QSize(400, 224)),
                              std::make_pair(QSize(401, 333), QSize(7, 3))})
        QTest::addRow("%dx%d to %dx%d", sizes.first.width(), sizes.first.height(),
                      sizes.second.width(), sizes.second.height())
            << sizes.first << sizes.second;
}

void TestPictures::areaScaleKeepsFlatColour()
{
    // The weights of every output pixel add up to exactly one: a flat area keeps
    // its colour to the last bit, in either path.
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QImage flat(from, QImage::Format_RGB32);
    flat.fill(qRgb(201, 77, 13));
    for (bool scalar : {false, true}) {
        AreaScaler::setScalarOnly(scalar);
        const QImage out = AreaScaler::scaled(flat, to);
        AreaScaler::setScalarOnly(false);
        QCOMPARE(out.size(), to);
        for (int y = 0; y < to.height(); ++y)
            for (int x = 0; x < to.width(); ++x)
                QCOMPARE(out.pixel(x, y), qRgb(201, 77, 13));
    }
}

void TestPictures::refreshedPicturesArePaintedUnscaled()
{
    // The program's style sheet: the buttons' border leaves their contents
    // narrower than their icon size.
    QFile qss(QStringLiteral(":/myQss.qss"));
    QVERIFY(qss.open(QIODevice::ReadOnly));
    qApp->setStyleSheet(QString::fromLatin1(qss.readAll()));
    const auto announceAll = [this](int round) {
        for (int i = 1; i <= 9; ++i) {
            const QString path = QStringLiteral("/pic%1").arg(i);
            server.route(path.toLatin1(), "image/jpeg", testCard(QSize(1280, 720), i + round));
            emit client.sourceUpdated(QStringLiteral("127.0.0.%1").arg(10 + i),
                                      QStringLiteral("Cam %1").arg(i), server.url(path));
        }
    };
    announceAll(0); // nine buttons fill the bar: 200 px wide each
    QCOMPARE(w->horizontalLayout->count(), 9);
    QList<QToolButton *> buttons;
    for (int i = 0; i < 9; ++i)
        buttons << qobject_cast<QToolButton *>(w->horizontalLayout->itemAt(i)->widget());
    QTRY_COMPARE(buttons.first()->width(), 200); // the layout has squeezed the row
    for (QToolButton *b : buttons)
        b->repaint();
    const QSize box = buttons.first()->property("paintedIconBox").toSize();
    QVERIFY2(box.width() < buttons.first()->iconSize().width(),
             qPrintable(QStringLiteral("painted in %1x%2").arg(box.width()).arg(box.height())));

    announceAll(1); // a refresh pass: a new picture for every button
    // Pixmaps are numbered as they are made: one made by a paint below would
    // be numbered after this one.
    const qint64 madeBeforePaint = QPixmap(1, 1).cacheKey() >> 32;
    for (QToolButton *b : buttons) {
        b->repaint();
        // What the paint drew is the stored copy: asking again scales nothing.
        const QPixmap painted = b->icon().pixmap(box);
        QCOMPARE(painted.size(), QSize(196, 110));
        QCOMPARE(b->icon().pixmap(box).cacheKey(), painted.cacheKey());
        QVERIFY2((painted.cacheKey() >> 32) < madeBeforePaint, "the paint scaled the picture");
    }
    qApp->setStyleSheet(QString());
}

QTEST_MAIN(TestPictures)
#include "tst_pictures.moc"
