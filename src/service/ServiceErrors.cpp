#include "ServiceErrors.h"

QString caseName(APIServiceError error)
{
    switch (error) {
    case APIServiceError::invalidURL:
        return QStringLiteral("invalidURL");
    case APIServiceError::noData:
        return QStringLiteral("noData");
    }
    Q_UNREACHABLE();
}

QString caseName(LibraryDataError error)
{
    switch (error) {
    case LibraryDataError::noData:
        return QStringLiteral("noData");
    case LibraryDataError::insertError:
        return QStringLiteral("insertError");
    }
    Q_UNREACHABLE();
}

QString caseName(NoWorkspaceDataError)
{
    return QStringLiteral("noData");
}

Error toError(APIServiceError error)
{
    const QString description = error == APIServiceError::invalidURL
        ? QStringLiteral("The service's answer could not be read.")
        : QStringLiteral("The service returned no data.");
    return Error(QStringLiteral("APIServiceError"), qint64(error), description);
}

Error toError(LibraryDataError error)
{
    const QString description = error == LibraryDataError::noData
        ? QStringLiteral("The service did not return the library entry.")
        : QStringLiteral("The library entry in the service's answer could not be read.");
    return Error(QStringLiteral("LibraryDataError"), qint64(error), description);
}
