#pragma once

#include <QString>

// The upload screen's "2D" upload of `filePath` in a process of its own, signed in with
// `apiKey` at `apiUrl`, as the application runs it: its record of the stored parts goes where
// the application keeps it, so that a later process can resume it once this one is killed.
// Answers 0 once the video is registered, 1 when the run failed.
int runUploadChild(const QString &apiUrl, const QString &apiKey, const QString &filePath);
