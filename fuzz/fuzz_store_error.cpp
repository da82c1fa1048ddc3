// The check of a completion answer for the store's <Error> document, against Qt's DOM reading
// of the same answer.
#include "FuzzSupport.h"
#include "UploadCompletion.h"

#include <QDomDocument>

namespace {
// The last Code child of an Error root, as the DOM sees it; none when the root is no Error.
std::optional<QString> domErrorCode(const QDomDocument &document)
{
    const QDomElement root = document.documentElement();
    if (root.localName() != u"Error")
        return std::nullopt;
    QString code;
    for (QDomElement child = root.firstChildElement(); !child.isNull(); child = child.nextSiblingElement()) {
        if (child.localName() == u"Code")
            code = child.text();
    }
    return code;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = inputBytes(data, size);
    const std::optional<StoreError> refusal = findStoreError(body);

    // Only documents that are well-formed from their first byte: the check itself forgives
    // keep-alive whitespace in front of the declaration, the DOM does not.
    QDomDocument document;
    if (!document.setContent(body, true))
        return 0;
    const std::optional<QString> code = domErrorCode(document);
    require(refusal.has_value() == code.has_value(), "an answer is a refusal exactly when its root is Error");
    // The DOM drops text nodes made of white space alone; the check keeps them.
    const auto withoutSpaces = [](QString text) {
        text.removeIf([](QChar c) { return c.isSpace(); });
        return text;
    };
    if (refusal)
        require(withoutSpaces(refusal->code) == withoutSpaces(*code), "the refusal's code is the document's");
    return 0;
}
