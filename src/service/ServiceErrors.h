#pragma once

#include "Error.h"

// The service protocol's own failures. Each becomes an Error whose domain is the type's name
// and whose code is the case's position.
enum class APIServiceError { invalidURL, noData };
enum class LibraryDataError { noData, insertError };
enum class NoWorkspaceDataError { noData };

QString caseName(APIServiceError error);
QString caseName(LibraryDataError error);
QString caseName(NoWorkspaceDataError error);

Error toError(APIServiceError error);
Error toError(LibraryDataError error);
