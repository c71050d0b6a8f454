#include "areascale.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
// Weights are in 1/2^14 of the output pixel; the horizontal pass keeps 7
// fraction bits of each channel, so both products fit 16-bit operands and the
// sums 32 bits.
constexpr int weightBits = 14;
constexpr int rowFractionBits = 7;
constexpr int outShift = weightBits + rowFractionBits;
bool scalarOnly = false;
} // namespace

void AreaScaler::setScalarOnly(bool on)
{
    scalarOnly = on;
}

AreaScaler::Taps AreaScaler::plan(int from, int to)
{
    // In units of 1/(from * to): source pixel i spans [i * to, (i + 1) * to),
    // output pixel o spans [o * from, (o + 1) * from).
    Taps t;
    int most = 1;
    for (int o = 0; o < to; ++o)
        most = std::max(most, ((o + 1) * from - 1) / to - o * from / to + 1);
    t.pairs = (most + 1) / 2;
    const int span = 2 * t.pairs;
    t.first.resize(to);
    t.weights.assign(size_t(to) * span * 4, 0);
    for (int o = 0; o < to; ++o) {
        const int lo = o * from, hi = (o + 1) * from;
        const int begin = lo / to, end = (hi - 1) / to; // inclusive
        // Near the end the span starts earlier, so that it stays in the row.
        const int first = std::min(begin, from - span);
        t.first[o] = first;
        int16_t *w = &t.weights[size_t(o) * span * 4];
        int sum = 0, heaviest = begin;
        for (int i = begin; i <= end; ++i) {
            const int overlap = std::min((i + 1) * to, hi) - std::max(i * to, lo);
            const int weight = (overlap * (1 << weightBits) + from / 2) / from;
            w[(i - first) * 4] = int16_t(weight);
            sum += weight;
            if (weight > w[(heaviest - first) * 4])
                heaviest = i;
        }
        // Rounding must not change the mean of a flat area.
        w[(heaviest - first) * 4] = int16_t(w[(heaviest - first) * 4] + (1 << weightBits) - sum);
        // Each pair's weights as the SIMD path multiplies them: a, b, a, b, ...
        for (int p = 0; p < t.pairs; ++p) {
            int16_t *pair = w + p * 8;
            const int16_t a = pair[0], b = pair[4];
            for (int k = 0; k < 4; ++k) {
                pair[2 * k] = a;
                pair[2 * k + 1] = b;
            }
        }
    }
    return t;
}

bool AreaScaler::canScale(QSize from, QSize to)
{
#if !defined(__SSE2__)
    // The portable arithmetic is slower than Qt's own smooth scale where Qt has
    // SIMD for it and this file has none (armhf: by a third under qemu-arm), so
    // Qt scales there. The portable path stays as the SIMD path's reference.
    if (!scalarOnly)
        return false;
#endif
    if (to.width() < 1 || to.height() < 1 || to.width() > from.width() ||
        to.height() > from.height())
        return false;
    // Spans of paired taps must fit in the row and the column.
    const auto span = [](int f, int t) {
        return 2 * ((f + t - 1) / t + 2) / 2;
    };
    return from.width() >= span(from.width(), to.width()) &&
           from.height() >= span(from.height(), to.height());
}

AreaScaler::AreaScaler(QSize from, QSize to, QImage::Format format)
    : m_from(from), m_to(to), m_x(plan(from.width(), to.width())),
      m_y(plan(from.height(), to.height())),
      m_opaque(format == QImage::Format_RGB32 ? 0xff000000u : 0u), m_out(to, format)
{
    // Rounded up to whole pairs of pixels for the SIMD loops.
    const size_t padded = size_t(to.width() + 1) / 2 * 2 * 4;
    m_row.assign(padded, 0);
    m_acc.assign(padded, 0);
    m_next.assign(padded, 0);
}

namespace {
#if defined(__SSE2__)
// One source row to the output width. `Pairs` fixed, so that the tap loop
// unrolls; 0 takes the count at run time.
template <int Pairs>
void horizontalSse2(const uint32_t *row, int outWidth, int pairsAtRunTime, const int *first,
                    const int16_t *weights, int16_t *out)
{
    const int pairs = Pairs > 0 ? Pairs : pairsAtRunTime;
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi32(1 << (rowFractionBits - 1));
    for (int o = 0; o < outWidth; ++o) {
        const uint32_t *s = row + first[o];
        const auto *w = reinterpret_cast<const __m128i *>(weights + size_t(o) * pairs * 8);
        __m128i sum = half;
        for (int p = 0; p < pairs; ++p) {
            // Two pixels' channels interleaved: a0 b0 a1 b1 a2 b2 a3 b3.
            const __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(s + 2 * p));
            const __m128i mixed = _mm_unpacklo_epi8(two, _mm_srli_epi64(two, 32));
            sum = _mm_add_epi32(
                sum, _mm_madd_epi16(_mm_unpacklo_epi8(mixed, zero), _mm_loadu_si128(w + p)));
        }
        sum = _mm_srai_epi32(sum, rowFractionBits);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + 4 * o), _mm_packs_epi32(sum, sum));
    }
}
#endif
} // namespace

void AreaScaler::horizontal(const uint32_t *row)
{
    const int span = 2 * m_x.pairs;
    const int width = m_to.width();
    const int *first = m_x.first.data();
    const int16_t *weights = m_x.weights.data();
    int16_t *out = m_row.data();
#if defined(__SSE2__)
    if (!scalarOnly) {
        switch (m_x.pairs) {
        case 1:
            return horizontalSse2<1>(row, width, 1, first, weights, out);
        case 2:
            return horizontalSse2<2>(row, width, 2, first, weights, out);
        case 3:
            return horizontalSse2<3>(row, width, 3, first, weights, out);
        default:
            return horizontalSse2<0>(row, width, m_x.pairs, first, weights, out);
        }
    }
#endif
    for (int o = 0; o < width; ++o) {
        const auto *s = reinterpret_cast<const uint8_t *>(row + first[o]);
        const int16_t *w = weights + size_t(o) * span * 4;
        int sum[4] = {0, 0, 0, 0};
        for (int i = 0; i < span; ++i) {
            const int weight = w[(i / 2) * 8 + (i % 2)];
            for (int c = 0; c < 4; ++c)
                sum[c] += s[4 * i + c] * weight;
        }
        for (int c = 0; c < 4; ++c)
            out[4 * o + c] = int16_t((sum[c] + (1 << (rowFractionBits - 1))) >> rowFractionBits);
    }
}

void AreaScaler::accumulate(std::vector<int32_t> &acc, int weight, bool first)
{
    const size_t n = m_acc.size();
#if defined(__SSE2__)
    if (!scalarOnly) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i w = _mm_set1_epi32(weight); // high halves zero: h * w + 0 * 0
        const int16_t *row = m_row.data();
        int32_t *sums = acc.data();
        for (size_t i = 0; i < n; i += 8) {
            const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + i));
            auto *a = reinterpret_cast<__m128i *>(sums + i);
            const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(h, zero), w);
            const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(h, zero), w);
            if (first) {
                _mm_storeu_si128(a, lo);
                _mm_storeu_si128(a + 1, hi);
            } else {
                _mm_storeu_si128(a, _mm_add_epi32(_mm_loadu_si128(a), lo));
                _mm_storeu_si128(a + 1, _mm_add_epi32(_mm_loadu_si128(a + 1), hi));
            }
        }
        return;
    }
#endif
    for (size_t i = 0; i < n; ++i)
        acc[i] = (first ? 0 : acc[i]) + m_row[i] * weight;
}

void AreaScaler::emitRow(const std::vector<int32_t> &acc)
{
    auto *line = reinterpret_cast<uint32_t *>(m_out.scanLine(m_outRow));
    const int32_t *sums = acc.data();
    const int width = m_to.width();
    // Truncated, as Qt's smooth scale does: a picture looks the same whichever
    // of the two made it.
#if defined(__SSE2__)
    if (!scalarOnly) {
        for (int o = 0; o < width; ++o) {
            const __m128i v = _mm_srai_epi32(
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(sums + 4 * o)), outShift);
            const __m128i words = _mm_packs_epi32(v, v);
            line[o] = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(words, words))) | m_opaque;
        }
        return;
    }
#endif
    for (int o = 0; o < width; ++o) {
        uint8_t px[4];
        for (int c = 0; c < 4; ++c)
            px[c] = uint8_t(std::clamp(sums[4 * o + c] >> outShift, 0, 255));
        uint32_t v;
        std::memcpy(&v, px, 4);
        line[o] = v | m_opaque;
    }
}

void AreaScaler::addRow(const uint32_t *row)
{
    if (m_outRow >= m_to.height())
        return;
    const int span = 2 * m_y.pairs;
    const int y = m_sourceRow++;
    const auto weightFor = [&](int o) {
        const int i = y - m_y.first[o];
        return i >= 0 && i < span ? int(m_y.weights[size_t(o) * span * 4 + (i / 2) * 8 + (i % 2)])
                                  : 0;
    };
    const int now = weightFor(m_outRow);
    const int next = m_outRow + 1 < m_to.height() ? weightFor(m_outRow + 1) : 0;
    if (now != 0 || next != 0)
        horizontal(row);
    // A row's first contribution replaces what the buffer held.
    if (now != 0) {
        accumulate(m_acc, now, !m_accStarted);
        m_accStarted = true;
    }
    if (next != 0) {
        accumulate(m_next, next, !m_nextStarted);
        m_nextStarted = true;
    }
    // The output row is complete at the last source row that carries weight
    // for it: it ends within this row, or the column ends here.
    const bool last = (m_outRow + 1) * m_from.height() <= (y + 1) * m_to.height();
    if (last) {
        emitRow(m_acc);
        ++m_outRow;
        m_acc.swap(m_next);
        m_accStarted = m_nextStarted;
        m_nextStarted = false;
    }
}

QImage AreaScaler::scaled(const QImage &image, QSize size)
{
    if (image.size() == size)
        return image;
    if (!canScale(image.size(), size))
        return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage source = image;
    if (source.format() != QImage::Format_RGB32 &&
        source.format() != QImage::Format_ARGB32_Premultiplied)
        source = source.convertToFormat(
            source.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    AreaScaler scaler(source.size(), size, source.format());
    for (int y = 0; y < source.height(); ++y)
        scaler.addRow(reinterpret_cast<const uint32_t *>(source.constScanLine(y)));
    return scaler.result();
}
