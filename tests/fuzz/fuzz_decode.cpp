// A preview body through the decoder: its format choice, its declared-size
// guard and its scaling to the largest shown size.
#include "fuzzaccess.h"

#include <QGuiApplication>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    (void)argc;
    startQt<QGuiApplication>(argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    const QPixmap pic = FuzzAccess::decode(body);
    // Whatever the body declares, no picture beyond the side limit comes out.
    if (!pic.isNull()) {
        FUZZ_CHECK(pic.width() <= Downloader::maxPictureSide);
        FUZZ_CHECK(pic.height() <= Downloader::maxPictureSide);
        // Nothing larger than the hover preview is ever kept.
        FUZZ_CHECK(pic.width() <= Downloader::largestShownSize.width());
        FUZZ_CHECK(pic.height() <= Downloader::largestShownSize.height());
        // Only the two decoders named by the body's signature are reached.
        FUZZ_CHECK(!FuzzAccess::formatOf(body).isEmpty());
    }
    return 0;
}
