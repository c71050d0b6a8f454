#include "jpegfit.h"

#include "areascale.h"

#include <QtEndian>

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE
#include <vector>

#include <jpeglib.h>

// libjpeg reports a fatal error by calling error_exit, which must not return:
// it jumps back to the call into libjpeg. Only C frames lie in between, and the
// functions that set the jump hold no object with a destructor.
struct JpegFit::State
{
    jpeg_decompress_struct info;
    jpeg_error_mgr error;
    std::jmp_buf failed;
};

namespace {
void failed(j_common_ptr info)
{
    auto *state = reinterpret_cast<std::jmp_buf *>(info->client_data);
    std::longjmp(*state, 1);
}
void quiet(j_common_ptr) {} // a damaged picture shows what could be decoded

bool readHeader(jpeg_decompress_struct *info, std::jmp_buf &fail)
{
    if (setjmp(fail))
        return false;
    return jpeg_read_header(info, TRUE) == JPEG_HEADER_OK;
}

bool readRows(jpeg_decompress_struct *info, std::jmp_buf &fail, AreaScaler *scaler, JSAMPROW row,
              int rows)
{
    if (setjmp(fail))
        return false;
    jpeg_start_decompress(info);
    for (int y = 0; y < rows; ++y) {
        if (jpeg_read_scanlines(info, &row, 1) != 1)
            return false;
        scaler->addRow(reinterpret_cast<const uint32_t *>(row));
    }
    // The rest (fewer than 2^shift source rows' worth) is not needed.
    jpeg_abort_decompress(info);
    return true;
}
} // namespace

JpegFit::JpegFit(const QByteArray &body) : m_state(new State)
{
    jpeg_decompress_struct &info = m_state->info;
    info.err = jpeg_std_error(&m_state->error);
    m_state->error.error_exit = failed;
    m_state->error.output_message = quiet;
    jpeg_create_decompress(&info);
    info.client_data = &m_state->failed;
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(body.constData()),
                 static_cast<unsigned long>(body.size()));
    if (!readHeader(&info, m_state->failed))
        return;
    m_size = QSize(int(info.image_width), int(info.image_height));
    m_convertible = info.jpeg_color_space == JCS_YCbCr || info.jpeg_color_space == JCS_RGB ||
                    info.jpeg_color_space == JCS_GRAYSCALE;
}

JpegFit::~JpegFit()
{
    jpeg_destroy_decompress(&m_state->info);
    delete m_state;
}

QImage JpegFit::decode(int shift, QSize fit)
{
    const QSize reduced(m_size.width() >> shift, m_size.height() >> shift);
    if (!m_convertible || shift < 0 || shift > 3 || !AreaScaler::canScale(reduced, fit))
        return QImage();
    jpeg_decompress_struct &info = m_state->info;
    info.scale_num = 1;
    info.scale_denom = 1u << shift;
    // RGB32 as it lies in memory: B, G, R, 0xff on a little-endian machine.
    info.out_color_space =
        QSysInfo::ByteOrder == QSysInfo::LittleEndian ? JCS_EXT_BGRX : JCS_EXT_XRGB;
    jpeg_calc_output_dimensions(&info);
    // libjpeg's output is ceil(W / 2^shift) wide; the last, partial column is
    // left out, as is the last, partial row.
    std::vector<uint32_t> row(info.output_width);
    AreaScaler scaler(reduced, fit, QImage::Format_RGB32);
    if (!readRows(&info, m_state->failed, &scaler, reinterpret_cast<JSAMPROW>(row.data()),
                  reduced.height()))
        return QImage();
    return scaler.result();
}
