#include "kmscursor.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryFile>

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

QString kmsDevicePath(const QJsonObject &settings)
{
    const QString device = settings.value(QStringLiteral("device")).toString();
    if (!device.isEmpty())
        return device;
    const QStringList cards = QDir(QStringLiteral("/dev/dri"))
                                  .entryList({QStringLiteral("card*")}, QDir::System, QDir::Name);
    return cards.isEmpty() ? QString() : QStringLiteral("/dev/dri/") + cards.first();
}

int kmsCursorPlane(const QString &path)
{
    if (path.isEmpty())
        return -1;
    // Read-only is enough to list planes; the device is closed again before
    // eglfs opens it, so no master rights linger.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int found = -1;
    // Without universal planes the kernel lists no primary or cursor planes.
    drmModePlaneResPtr planes = drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1) == 0
                                    ? drmModeGetPlaneResources(fd)
                                    : nullptr;
    if (planes) {
        found = 0;
        for (uint32_t i = 0; i < planes->count_planes && found == 0; ++i) {
            drmModeObjectPropertiesPtr props =
                drmModeObjectGetProperties(fd, planes->planes[i], DRM_MODE_OBJECT_PLANE);
            for (uint32_t p = 0; props && p < props->count_props; ++p) {
                drmModePropertyPtr prop = drmModeGetProperty(fd, props->props[p]);
                if (prop && std::strcmp(prop->name, "type") == 0 &&
                    props->prop_values[p] == DRM_PLANE_TYPE_CURSOR)
                    found = 1;
                drmModeFreeProperty(prop);
            }
            drmModeFreeObjectProperties(props);
        }
        drmModeFreePlaneResources(planes);
    }
    ::close(fd);
    return found;
}

QByteArray kmsSoftwareCursorSettings(const QJsonObject &settings, int cursorPlane)
{
    if (cursorPlane != 0 || settings.contains(QStringLiteral("hwcursor")))
        return QByteArray();
    QJsonObject drawn = settings;
    drawn.insert(QStringLiteral("hwcursor"), false);
    return QJsonDocument(drawn).toJson();
}

bool useSoftwareCursorWhereNeeded(const QByteArray &platform, QTemporaryFile &file)
{
    // Other eglfs back ends (EGLDevice, Vivante, Mali) have cursors of their own.
    const QByteArray integration = qgetenv("QT_QPA_EGLFS_INTEGRATION");
    if (!platform.startsWith("eglfs") || !(integration.isEmpty() || integration == "eglfs_kms"))
        return false;
    QJsonObject settings;
    const QString given = qEnvironmentVariable("QT_QPA_EGLFS_KMS_CONFIG");
    if (!given.isEmpty()) {
        QFile in(given);
        // Unreadable settings are eglfs's to report, as it does.
        if (!in.open(QIODevice::ReadOnly))
            return false;
        const QJsonDocument doc = QJsonDocument::fromJson(in.readAll());
        if (!doc.isObject())
            return false;
        settings = doc.object();
    }
    const QString device = kmsDevicePath(settings);
    const QByteArray drawn = kmsSoftwareCursorSettings(settings, kmsCursorPlane(device));
    if (drawn.isEmpty())
        return false;
    file.setFileTemplate(QDir::tempPath() + QStringLiteral("/sourcebar-eglfs-XXXXXX.json"));
    if (!file.open() || file.write(drawn) != drawn.size() || !file.flush()) {
        qWarning() << "cannot write eglfs settings for the pointer:" << file.errorString();
        return false;
    }
    qputenv("QT_QPA_EGLFS_KMS_CONFIG", QFile::encodeName(file.fileName()));
    qDebug().noquote() << "display" << device << "has no cursor plane: eglfs draws the pointer";
    return true;
}
