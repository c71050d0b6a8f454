#ifndef TXSIM_TESTCARD_H
#define TXSIM_TESTCARD_H

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QSize>

class QDateTime;

struct Transmitter;

// Live JPEG test cards: the transmitter's colour, its name large and a clock.
// A card is rendered at most once a second per transmitter; requests within
// the same second get the cached bytes.
class TestCard
{
public:
    explicit TestCard(QSize size) : m_size(size) {}

    // Empty when JPEG encoding is unavailable.
    QByteArray jpeg(const Transmitter &t);

    // The card as a picture, as the JPEG preview and the video stream show it.
    static QImage render(const Transmitter &t, QSize size, const QDateTime &now);

    // A small valid baseline JPEG whose frame header is patched to declare
    // width x height; empty if no baseline frame header was found.
    static QByteArray declaringSize(int width, int height);

private:
    struct Cached
    {
        qint64 second = -1;
        QByteArray bytes;
    };
    QSize m_size;
    QHash<int, Cached> m_cache;
};

#endif // TXSIM_TESTCARD_H
