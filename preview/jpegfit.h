#ifndef JPEGFIT_H
#define JPEGFIT_H

#include <QByteArray>
#include <QImage>
#include <QSize>

// A JPEG decoded by libjpeg straight into 32-bit pixels at a power-of-two DCT
// scale, each row averaged into the fit as it comes: neither the decode at that
// scale nor a 24-bit copy is ever held whole.
class JpegFit
{
public:
    explicit JpegFit(const QByteArray &body);
    ~JpegFit();
    JpegFit(const JpegFit &) = delete;
    JpegFit &operator=(const JpegFit &) = delete;

    // The declared size; invalid when the header cannot be read.
    QSize size() const { return m_size; }
    // Colour or grey: what libjpeg converts to RGB itself (not CMYK or YCCK).
    bool convertible() const { return m_convertible; }
    // floor(W / 2^shift) x floor(H / 2^shift) of the picture, decoded at 1/2^shift
    // (at most 3), averaged to `fit` (no side larger than the decode's); a null
    // image on a decoding error. Once per object.
    QImage decode(int shift, QSize fit);

private:
    struct State;
    State *m_state;
    QSize m_size;
    bool m_convertible = false;
};

#endif // JPEGFIT_H
