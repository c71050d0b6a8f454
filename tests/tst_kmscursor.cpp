#include "kmscursor.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

// Which KMS settings eglfs gets for its pointer. The DRM side proper (a display
// with and without a cursor plane) is checked on the emulated board.
class tst_KmsCursor : public QObject
{
    Q_OBJECT

private slots:
    void settings_data();
    void settings();
    void devicePathFromSettings();
    void notDrmDevices();
    void otherPlatformsUntouched_data();
    void otherPlatformsUntouched();
};

void tst_KmsCursor::settings_data()
{
    QTest::addColumn<QByteArray>("given");
    QTest::addColumn<int>("cursorPlane");
    QTest::addColumn<QByteArray>("expected"); // empty: the given settings stand

    const QByteArray outputs = R"({"outputs": [{"name": "Virtual1", "format": "xrgb8888"}]})";
    QTest::newRow("no cursor plane, no settings")
        << QByteArray("{}") << 0 << QByteArray(R"({"hwcursor": false})");
    QTest::newRow("no cursor plane, outputs kept")
        << outputs << 0
        << QByteArray(
               R"({"hwcursor": false, "outputs": [{"name": "Virtual1", "format": "xrgb8888"}]})");
    QTest::newRow("cursor plane") << outputs << 1 << QByteArray();
    QTest::newRow("unknown device") << outputs << -1 << QByteArray();
    QTest::newRow("explicit hardware cursor stands")
        << QByteArray(R"({"hwcursor": true})") << 0 << QByteArray();
    QTest::newRow("explicit drawn cursor stands")
        << QByteArray(R"({"hwcursor": false})") << 0 << QByteArray();
}

void tst_KmsCursor::settings()
{
    QFETCH(QByteArray, given);
    QFETCH(int, cursorPlane);
    QFETCH(QByteArray, expected);

    const QByteArray result =
        kmsSoftwareCursorSettings(QJsonDocument::fromJson(given).object(), cursorPlane);
    if (expected.isEmpty()) {
        QVERIFY2(result.isEmpty(), result.constData());
    } else {
        QCOMPARE(QJsonDocument::fromJson(result), QJsonDocument::fromJson(expected));
    }
}

void tst_KmsCursor::devicePathFromSettings()
{
    QCOMPARE(kmsDevicePath(QJsonDocument::fromJson(R"({"device": "/dev/dri/card1"})").object()),
             QStringLiteral("/dev/dri/card1"));
    // Without one, the first card, as eglfs picks it (none on a machine without DRM).
    const QString first = kmsDevicePath(QJsonObject());
    QVERIFY2(first.isEmpty() || first.startsWith(QLatin1String("/dev/dri/card")),
             qPrintable(first));
}

void tst_KmsCursor::notDrmDevices()
{
    QTemporaryDir dir;
    QFile plain(dir.filePath(QStringLiteral("card0")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QCOMPARE(kmsCursorPlane(QString()), -1);
    QCOMPARE(kmsCursorPlane(dir.filePath(QStringLiteral("missing"))), -1);
    QCOMPARE(kmsCursorPlane(plain.fileName()), -1);
    QCOMPARE(kmsCursorPlane(QStringLiteral("/dev/null")), -1);
}

void tst_KmsCursor::otherPlatformsUntouched_data()
{
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<QByteArray>("integration");
    QTest::addColumn<QByteArray>("device");

    // A device whose planes are unknown leaves eglfs's own settings too.
    QTest::newRow("xcb") << QByteArray("xcb") << QByteArray() << QByteArray("/dev/null");
    QTest::newRow("linuxfb") << QByteArray("linuxfb") << QByteArray() << QByteArray("/dev/null");
    QTest::newRow("eglfs, EGLDevice")
        << QByteArray("eglfs") << QByteArray("eglfs_kms_egldevice") << QByteArray("/dev/null");
    QTest::newRow("eglfs, not a DRM device")
        << QByteArray("eglfs") << QByteArray() << QByteArray("/dev/null");
}

void tst_KmsCursor::otherPlatformsUntouched()
{
    QFETCH(QByteArray, platform);
    QFETCH(QByteArray, integration);
    QFETCH(QByteArray, device);

    QTemporaryDir dir;
    QFile given(dir.filePath(QStringLiteral("eglfs.json")));
    QVERIFY(given.open(QIODevice::WriteOnly));
    given.write(R"({"device": ")" + device + R"("})");
    given.close();
    const QByteArray path = QFile::encodeName(given.fileName());
    qputenv("QT_QPA_EGLFS_KMS_CONFIG", path);
    qputenv("QT_QPA_EGLFS_INTEGRATION", integration);

    QTemporaryFile file;
    QVERIFY(!useSoftwareCursorWhereNeeded(platform, file));
    QCOMPARE(qgetenv("QT_QPA_EGLFS_KMS_CONFIG"), path);
    QVERIFY(file.fileName().isEmpty() || !QFile::exists(file.fileName()));
    qunsetenv("QT_QPA_EGLFS_KMS_CONFIG");
    qunsetenv("QT_QPA_EGLFS_INTEGRATION");
}

QTEST_GUILESS_MAIN(tst_KmsCursor)
#include "tst_kmscursor.moc"
