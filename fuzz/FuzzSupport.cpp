#include "FuzzSupport.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Qt's text and XML classes expect an application object around, as they have in the app.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static int applicationArgc = 1;
    static char *applicationArgv[] = {(*argc > 0 ? (*argv)[0] : nullptr), nullptr};
    static QCoreApplication application(applicationArgc, applicationArgv);
    return 0;
}

QByteArray inputBytes(const uint8_t *data, size_t size)
{
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
}

QString inputText(const uint8_t *data, size_t size)
{
    QString text(qsizetype(size / sizeof(char16_t)), Qt::Uninitialized);
    std::memcpy(text.data(), data, size_t(text.size()) * sizeof(char16_t));
    return text;
}

void require(bool holds, const char *property)
{
    if (holds)
        return;
    std::fprintf(stderr, "Property violated: %s\n", property);
    std::abort();
}
