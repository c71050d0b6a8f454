#include "testcard.h"

#include "transmitter.h"

#include <QBuffer>
#include <QDateTime>
#include <QFont>
#include <QImage>
#include <QPainter>

static QByteArray encodeJpeg(const QImage &image, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "JPEG", quality))
        return {};
    return bytes;
}

QImage TestCard::render(const Transmitter &t, QSize size, const QDateTime &now)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(t.colour);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const int w = size.width();
    const int h = size.height();

    // Colour bars along the bottom, so scaling and colour errors show.
    static const QColor bars[] = {Qt::white,   Qt::yellow, Qt::cyan, Qt::green,
                                  Qt::magenta, Qt::red,    Qt::blue, Qt::black};
    const int barCount = static_cast<int>(sizeof bars / sizeof bars[0]);
    const int barTop = h * 5 / 6;
    for (int i = 0; i < barCount; ++i) {
        const int x0 = w * i / barCount;
        const int x1 = w * (i + 1) / barCount;
        p.fillRect(x0, barTop, x1 - x0, h - barTop, bars[i]);
    }

    // A marker that walks along the top edge once a minute: a frozen picture is obvious.
    const int sec = now.time().second();
    const int mark = qMax(4, h / 24);
    p.fillRect((w - mark) * sec / 59, 0, mark, mark, Qt::white);

    const QColor ink = t.colour.lightnessF() > 0.6 ? QColor(Qt::black) : QColor(Qt::white);
    p.setPen(ink);

    QFont nameFont(QStringLiteral("DejaVu Sans"));
    nameFont.setBold(true);
    nameFont.setPixelSize(qMax(8, h / 7));
    p.setFont(nameFont);
    p.drawText(QRect(0, h / 12, w, h * 3 / 12), Qt::AlignCenter, t.name);

    QFont clockFont(QStringLiteral("DejaVu Sans Mono"));
    clockFont.setPixelSize(qMax(8, h / 5));
    p.setFont(clockFont);
    p.drawText(QRect(0, h * 4 / 12, w, h * 3 / 12), Qt::AlignCenter,
               now.toString(QStringLiteral("hh:mm:ss")));

    QFont infoFont(QStringLiteral("DejaVu Sans"));
    infoFont.setPixelSize(qMax(6, h / 24));
    p.setFont(infoFont);
    p.drawText(QRect(0, h * 7 / 12, w, h / 12), Qt::AlignCenter,
               QStringLiteral("%1  %2x%3  %4").arg(t.ip).arg(w).arg(h).arg(t.model));
    p.end();
    return image;
}

QByteArray TestCard::jpeg(const Transmitter &t)
{
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 second = now.toSecsSinceEpoch();
    Cached &c = m_cache[t.index];
    if (c.second != second || c.bytes.isEmpty()) {
        c.bytes = encodeJpeg(render(t, m_size, now), 80);
        c.second = second;
    }
    return c.bytes;
}

QByteArray TestCard::declaringSize(int width, int height)
{
    QImage tiny(16, 16, QImage::Format_RGB32);
    tiny.fill(Qt::gray);
    QByteArray bytes = encodeJpeg(tiny, 50);
    // Walk the marker segments up to the scan; SOF0 is FF C0 len(2) precision(1) height(2)
    // width(2).
    int pos = 2;
    while (pos + 9 <= bytes.size() && static_cast<quint8>(bytes.at(pos)) == 0xFF) {
        const auto marker = static_cast<quint8>(bytes.at(pos + 1));
        if (marker == 0xDA)
            break;
        if (marker == 0xC0) {
            bytes[pos + 5] = static_cast<char>((height >> 8) & 0xFF);
            bytes[pos + 6] = static_cast<char>(height & 0xFF);
            bytes[pos + 7] = static_cast<char>((width >> 8) & 0xFF);
            bytes[pos + 8] = static_cast<char>(width & 0xFF);
            return bytes;
        }
        const int length =
            (static_cast<quint8>(bytes.at(pos + 2)) << 8) | static_cast<quint8>(bytes.at(pos + 3));
        pos += 2 + length;
    }
    return {};
}
