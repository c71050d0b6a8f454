#ifndef TXSIM_TRANSMITTER_H
#define TXSIM_TRANSMITTER_H

#include <QColor>
#include <QJsonObject>
#include <QSize>
#include <QString>

// How a transmitter's preview server misbehaves, if at all.
enum class PreviewFault {
    None,
    Hang,      // accepts, reads the request, never answers
    Drip,      // a valid response, one byte a second
    Status404, // 404 Not Found
    Text,      // 200 with an HTML page
    Redirect,  // 301 to another URL
    Endless,   // 200 image/jpeg whose body never ends
    Huge,      // a tiny JPEG whose frame header declares 16000x16000
};

QString faultName(PreviewFault fault);

// One simulated transmitter: what it announces and how it behaves.
struct Transmitter
{
    int index = 0; // 1-based
    QString ip;
    QString name;
    QString model;
    bool ts = true;
    quint16 httpPort = 0;
    QString redirectTo; // Location of the Redirect fault
    PreviewFault preview = PreviewFault::None;
    bool twice = false; // answers each discovery twice
    bool bare = false;  // answers with unframed JSON
    QColor colour;

    QString tsUrl() const;
    QString jpegUrl() const;
    QJsonObject record() const; // the RECORD of its discovery reply
};

#endif // TXSIM_TRANSMITTER_H
