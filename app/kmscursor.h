#ifndef KMSCURSOR_H
#define KMSCURSOR_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class QTemporaryFile;

// eglfs moves the pointer with the display's cursor plane unless its KMS
// settings say "hwcursor": false. A display without a cursor plane (bochs-drm,
// simple framebuffers) refuses every cursor call: the pointer stays invisible
// and each pointer motion writes a warning. There eglfs must draw the pointer
// itself, into the picture; where the display has a cursor plane it is kept.

// The DRM device that eglfs opens: the settings' "device", else the first card.
QString kmsDevicePath(const QJsonObject &settings);

// Whether the DRM device at path has a cursor plane: 1 yes, 0 no, -1 unknown
// (not a DRM device, no access, a kernel without universal planes).
int kmsCursorPlane(const QString &path);

// The settings that eglfs should read for a device whose cursor plane is
// cursorPlane (as kmsCursorPlane returns it): settings with "hwcursor": false
// where the device has none, else an empty document (the given ones stand).
// An explicit "hwcursor" in the settings always stands.
QByteArray kmsSoftwareCursorSettings(const QJsonObject &settings, int cursorPlane);

// Before the application object, with eglfs as the platform: writes those
// settings to file (which must outlive the platform's start) and names it in
// QT_QPA_EGLFS_KMS_CONFIG. Returns false where nothing changed.
bool useSoftwareCursorWhereNeeded(const QByteArray &platform, QTemporaryFile &file);

#endif // KMSCURSOR_H
