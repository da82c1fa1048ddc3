#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One request of a curl run: a PUT of `bodyFile` (upload-file), or a POST of it (data-binary).
struct CurlTransfer
{
    QString url;
    QString bodyFile;
    bool post = false;
    QByteArray contentType = "application/octet-stream";
};

struct CurlOutcome
{
    bool ok = false; // every answer 2xx
    double seconds = 0.0; // sum of the transfers' own times: curl's start-up is not counted
    int connections = 0; // connections opened over the whole run
    double cpuSeconds = 0.0; // curl's, user and system, its start-up included
    QString failure;
};

// Sends `transfers` in order with one curl process, one transfer per --next, so that they share
// one kept-alive connection. The configuration goes to `configPath`. curl's Expect: 100-continue
// is turned off: the application does not send it either, and it would cost a round trip per part.
CurlOutcome runCurl(const QString &curl, const QList<CurlTransfer> &transfers, const QString &configPath);
