#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// An HTTP answer, whatever its status. Only failures to get an answer at all are errors.
struct HttpResponse
{
    using Header = QPair<QByteArray, QByteArray>;

    int statusCode = 0;
    QList<Header> headers; // as received: name case and order kept
    QByteArray body;
    // The body grew past the caller's limit and was abandoned; `body` is then empty.
    bool bodyTooLarge = false;

    bool isSuccess() const { return statusCode >= 200 && statusCode <= 299; }
};
