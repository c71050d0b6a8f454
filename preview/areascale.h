#ifndef AREASCALE_H
#define AREASCALE_H

#include <QImage>
#include <QSize>

#include <cstdint>
#include <vector>

// A downscale by area averaging: every output pixel is the mean of the source
// area it covers, weighted by how much of each source pixel lies in it (what
// Qt's smooth scale computes for a reduction), in one thread, with the rows
// taken one at a time as a decoder hands them out. Four 8-bit channels in a
// 32-bit pixel, each averaged on its own.
class AreaScaler
{
public:
    // Both sides of `to` at most those of `from` and at least 1.
    AreaScaler(QSize from, QSize to, QImage::Format format);

    // Whether this scaler takes the job: a reduction in both directions, with
    // room for its taps, on a machine where it beats Qt's smooth scale (SSE2).
    static bool canScale(QSize from, QSize to);

    // The next source row, from.width() pixels.
    void addRow(const uint32_t *row);
    // The picture at `to` once every source row has been added.
    QImage result() const { return m_out; }

    // A copy of an image at `size`: area averaged where it is a reduction in
    // both directions, else Qt's smooth scale. Images other than RGB32 are
    // averaged premultiplied, as Qt's smooth scale does.
    static QImage scaled(const QImage &image, QSize size);

    // For the tests: the same arithmetic without the SIMD path (also taken
    // where there is no SIMD path).
    static void setScalarOnly(bool on);

private:
    // An output pixel's (or row's) source span as pairs of taps: `first` is the
    // first of 2 * pairs consecutive source pixels, `weights` their weights
    // (sum 2^14), zero outside the span, each pair's two as a, b, a, b, ...
    struct Taps
    {
        std::vector<int> first;
        std::vector<int16_t> weights;
        int pairs = 0;
    };
    static Taps plan(int from, int to);
    // The source rows of output row m_outRow, averaged down the column into
    // m_column; then that row across into the picture.
    void vertical();
    void horizontal();

    QSize m_from, m_to;
    Taps m_x, m_y;
    std::vector<uint32_t> m_ring;         // the last 2 * m_y.pairs source rows, by row modulo that
    std::vector<const uint32_t *> m_rows; // the ring's rows in the order of the current span
    std::vector<int16_t> m_column;        // an output row at the source width, 7 fraction bits
    int m_sourceRow = 0, m_outRow = 0;
    uint32_t m_opaque = 0;
    QImage m_out;
};

#endif // AREASCALE_H
