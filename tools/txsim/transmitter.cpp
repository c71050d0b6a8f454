#include "transmitter.h"

QString faultName(PreviewFault fault)
{
    switch (fault) {
    case PreviewFault::None:
        return QStringLiteral("normal");
    case PreviewFault::Hang:
        return QStringLiteral("hang");
    case PreviewFault::Drip:
        return QStringLiteral("drip");
    case PreviewFault::Status404:
        return QStringLiteral("status404");
    case PreviewFault::Text:
        return QStringLiteral("text");
    case PreviewFault::Redirect:
        return QStringLiteral("redirect");
    case PreviewFault::Endless:
        return QStringLiteral("endless");
    case PreviewFault::Huge:
        return QStringLiteral("huge");
    }
    return QStringLiteral("?");
}

QString Transmitter::tsUrl() const
{
    return QStringLiteral("udp://239.255.0.%1:5000").arg(10 + index);
}

QString Transmitter::jpegUrl() const
{
    return QStringLiteral("http://%1:%2/snap.jpg").arg(ip).arg(httpPort);
}

QJsonObject Transmitter::record() const
{
    return QJsonObject{
        {QStringLiteral("model"), model},
        {QStringLiteral("ip"), ip},
        {QStringLiteral("cName"), name},
        {QStringLiteral("isTS_1"), ts ? QStringLiteral("1") : QStringLiteral("0")},
        {QStringLiteral("TSurl_1"), tsUrl()},
        {QStringLiteral("JPEGurl_2"), jpegUrl()},
    };
}
