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
    // Whole groups of four pixels for the SIMD loops.
    const size_t padded = size_t(from.width() + 3) / 4 * 4;
    m_ring.assign(size_t(2 * m_y.pairs) * padded, 0);
    m_column.assign(padded * 4, 0);
    m_rows.assign(size_t(2 * m_y.pairs), nullptr);
}

namespace {
#if defined(__SSE2__)
// One output row down the columns, four pixels at a time. `Pairs` fixed, so
// that the tap loop unrolls; 0 takes the count at run time.
template <int Pairs>
void verticalSse2(const uint32_t *const *rows, int width, int pairsAtRunTime,
                  const int16_t *weights, int16_t *out)
{
    const int pairs = Pairs > 0 ? Pairs : pairsAtRunTime;
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi32(1 << (rowFractionBits - 1));
    for (int x = 0; x < width; x += 4) {
        __m128i s0 = half, s1 = half, s2 = half, s3 = half;
        for (int p = 0; p < pairs; ++p) {
            const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(weights + p * 8));
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[2 * p] + x));
            const __m128i b =
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[2 * p + 1] + x));
            // Each channel of the two rows side by side: a0 b0 a1 b1 ...
            const __m128i lo = _mm_unpacklo_epi8(a, b), hi = _mm_unpackhi_epi8(a, b);
            s0 = _mm_add_epi32(s0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), w));
            s1 = _mm_add_epi32(s1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), w));
            s2 = _mm_add_epi32(s2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), w));
            s3 = _mm_add_epi32(s3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), w));
        }
        auto *o = reinterpret_cast<__m128i *>(out + 4 * x);
        _mm_storeu_si128(o, _mm_packs_epi32(_mm_srai_epi32(s0, rowFractionBits),
                                            _mm_srai_epi32(s1, rowFractionBits)));
        _mm_storeu_si128(o + 1, _mm_packs_epi32(_mm_srai_epi32(s2, rowFractionBits),
                                                _mm_srai_epi32(s3, rowFractionBits)));
    }
}
#endif
} // namespace

void AreaScaler::vertical()
{
    const int span = 2 * m_y.pairs;
    const size_t stride = m_ring.size() / size_t(span);
    const int first = m_y.first[m_outRow];
    const int16_t *weights = &m_y.weights[size_t(m_outRow) * span * 4];
    for (int i = 0; i < span; ++i)
        m_rows[size_t(i)] = &m_ring[size_t((first + i) % span) * stride];
    const uint32_t *const *rows = m_rows.data();
    const int width = m_from.width();
    int16_t *out = m_column.data();
#if defined(__SSE2__)
    if (!scalarOnly) {
        switch (m_y.pairs) {
        case 1:
            return verticalSse2<1>(rows, width, 1, weights, out);
        case 2:
            return verticalSse2<2>(rows, width, 2, weights, out);
        case 3:
            return verticalSse2<3>(rows, width, 3, weights, out);
        default:
            return verticalSse2<0>(rows, width, m_y.pairs, weights, out);
        }
    }
#endif
    for (int x = 0; x < width; ++x) {
        int sum[4] = {0, 0, 0, 0};
        for (int i = 0; i < span; ++i) {
            const int weight = weights[(i / 2) * 8 + (i % 2)];
            const auto *px = reinterpret_cast<const uint8_t *>(rows[i] + x);
            for (int c = 0; c < 4; ++c)
                sum[c] += px[c] * weight;
        }
        for (int c = 0; c < 4; ++c)
            out[4 * x + c] = int16_t((sum[c] + (1 << (rowFractionBits - 1))) >> rowFractionBits);
    }
}

namespace {
#if defined(__SSE2__)
// One output row across. `Pairs` fixed, so that the tap loop unrolls; 0 takes
// the count at run time. Truncated at the end, as Qt's smooth scale does: a
// picture looks the same whichever of the two made it.
template <int Pairs>
void horizontalSse2(const int16_t *column, int outWidth, int pairsAtRunTime, const int *first,
                    const int16_t *weights, uint32_t opaque, uint32_t *line)
{
    const int pairs = Pairs > 0 ? Pairs : pairsAtRunTime;
    for (int o = 0; o < outWidth; ++o) {
        const int16_t *s = column + 4 * first[o];
        const auto *w = reinterpret_cast<const __m128i *>(weights + size_t(o) * pairs * 8);
        __m128i sum = _mm_setzero_si128();
        for (int p = 0; p < pairs; ++p) {
            // Two pixels' channels interleaved: a0 b0 a1 b1 a2 b2 a3 b3.
            const __m128i two = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 8 * p));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi16(two, _mm_srli_si128(two, 8)),
                                                    _mm_loadu_si128(w + p)));
        }
        const __m128i words = _mm_packs_epi32(_mm_srai_epi32(sum, outShift), sum);
        line[o] = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(words, words))) | opaque;
    }
}
#endif
} // namespace

void AreaScaler::horizontal()
{
    const int span = 2 * m_x.pairs;
    const int width = m_to.width();
    const int *first = m_x.first.data();
    const int16_t *weights = m_x.weights.data();
    const int16_t *column = m_column.data();
    auto *line = reinterpret_cast<uint32_t *>(m_out.scanLine(m_outRow));
#if defined(__SSE2__)
    if (!scalarOnly) {
        switch (m_x.pairs) {
        case 1:
            return horizontalSse2<1>(column, width, 1, first, weights, m_opaque, line);
        case 2:
            return horizontalSse2<2>(column, width, 2, first, weights, m_opaque, line);
        case 3:
            return horizontalSse2<3>(column, width, 3, first, weights, m_opaque, line);
        default:
            return horizontalSse2<0>(column, width, m_x.pairs, first, weights, m_opaque, line);
        }
    }
#endif
    for (int o = 0; o < width; ++o) {
        const int16_t *s = column + 4 * first[o];
        const int16_t *w = weights + size_t(o) * span * 4;
        uint8_t px[4];
        for (int c = 0; c < 4; ++c) {
            int sum = 0;
            for (int i = 0; i < span; ++i)
                sum += s[4 * i + c] * w[(i / 2) * 8 + (i % 2)];
            px[c] = uint8_t(std::clamp(sum >> outShift, 0, 255));
        }
        uint32_t v;
        std::memcpy(&v, px, 4);
        line[o] = v | m_opaque;
    }
}

void AreaScaler::addRow(const uint32_t *row)
{
    const int span = 2 * m_y.pairs;
    const size_t stride = m_ring.size() / size_t(span);
    const int y = m_sourceRow++;
    std::memcpy(&m_ring[size_t(y % span) * stride], row, size_t(m_from.width()) * 4);
    // An output row is made once the last row of its span has come; rows of a
    // span start no earlier than the previous output row's.
    while (m_outRow < m_to.height() && m_y.first[m_outRow] + span - 1 == y) {
        vertical();
        horizontal();
        ++m_outRow;
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
