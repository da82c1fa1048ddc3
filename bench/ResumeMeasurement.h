#pragma once

#include "Report.h"

#include <QString>

// Starts this program's `upload-child` on `file` through the devservice at `apiUrl`, kills it
// (SIGKILL) once storage holds half the parts, resumes the upload in this process as the next
// start of the application would, and measures what the resume sent that storage already held.
// The preferences and the upload record go to folders under `workDirectory`, for this process
// and the child alike.
ResumeCase measureResumeAfterKill(const QString &apiUrl, const QString &apiKey, const QString &file,
                                  const QString &workDirectory);
