#ifndef UDPCLIENT_H
#define UDPCLIENT_H

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QTimer;
class QUdpSocket;

// Globals of the transmitter link. The text globals are built on first use, so
// that objects constructed during static initialisation in other translation
// units (the program's one UdpClient) always find them ready.
extern bool onDiscovery;       // true while a discovery window is open
QString &strModel();           // accepted-model text; the constructor strips its white space
QStringList &models();         // accepted-model list, filled by the constructor
const QString &strBroadcast(); // the discovery request
const QByteArray &broadcast(); // the discovery request as sent (UTF-8)

class UdpClient : public QObject
{
    Q_OBJECT
public:
    explicit UdpClient(QObject *parent = nullptr);
    ~UdpClient() override;

    void writeData(const QByteArray &message, QHostAddress addr, quint16 port, bool wReply);
    void discovery();
    bool playSource(QString id);
    void startRefreshPreview(int ms);
    void stopRefreshPreview();

    // Handles one received datagram as the reader does: unwrap, parse, check,
    // record and announce. Returns true when it became a source record.
    bool handleDatagram(QByteArray datagram);

    QList<QJsonObject> jsonList;

    static constexpr quint16 discoveryPort = 3600;
    static constexpr quint16 playerPort = 3601;
    static constexpr int discoveryWindowMs = 2000;

signals:
    void sourceUpdated(QString id, QString cName, QString url);

public slots:
    void onRefreshPreview();

private slots:
    void readReady();
    void onTimeOut();

private:
    friend class TestUdpClient;
    friend class TestWidget;
    friend class FuzzAccess; // tests/fuzz: the frame builder and unwrapper
    int buildMessage(QByteArray &reply, const QByteArray &message);
    void parseMsg(QByteArray &message);
    unsigned int crc32b(const QByteArray &message);

    QUdpSocket *udpSocket = nullptr;
    QTimer *refreshTimer = nullptr;
    bool refreshing = false; // a refresh pass is on the stack
};

#endif // UDPCLIENT_H
