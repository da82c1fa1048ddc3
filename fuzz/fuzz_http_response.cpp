// The reader of storage answers on the upload connections: an answer must read the same however
// the network slices it, and a kept body never exceeds the cap.
#include "FuzzSupport.h"
#include "HttpResponseParser.h"

#include <algorithm>

namespace {
constexpr qint64 bodyCap = 4096;

struct Reading
{
    HttpResponseParser::State state;
    int statusCode;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    bool bodyTooLarge;
    bool keepsConnection;

    friend bool operator==(const Reading &, const Reading &) = default;
};

Reading read(QByteArrayView answer, qsizetype sliceSize, bool closes)
{
    HttpResponseParser parser(bodyCap);
    for (qsizetype offset = 0; offset < answer.size(); offset += sliceSize)
        parser.feed(answer.sliced(offset, std::min(sliceSize, answer.size() - offset)));
    if (closes)
        parser.finishAtClose();
    return {parser.state(), parser.statusCode(), parser.headers(), parser.body(), parser.bodyTooLarge(),
            parser.keepsConnection()};
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte chooses how the rest arrives.
    const qsizetype sliceSize = 1 + data[0] % 17;
    const bool closes = data[0] & 0x80;
    const QByteArray answer = inputBytes(data + 1, size - 1);

    const Reading whole = read(answer, std::max<qsizetype>(answer.size(), 1), closes);
    const Reading sliced = read(answer, sliceSize, closes);
    require(whole == sliced, "an answer reads the same in any slices");
    require(whole.body.size() <= bodyCap, "no kept body beyond the cap");
    require(!whole.bodyTooLarge || whole.body.isEmpty(), "an abandoned body is not kept");
    if (whole.state == HttpResponseParser::State::Complete)
        require(whole.statusCode >= 100 && whole.statusCode <= 999, "a complete answer has a status");
    if (closes)
        require(whole.state != HttpResponseParser::State::Head && whole.state != HttpResponseParser::State::Body,
                "a closed connection ends every answer");
    return 0;
}
