#pragma once

#include <QList>
#include <QString>
#include <QUrl>

// What one run stores and registers, taken from the form as the run starts: later edits of the
// form do not reach it. An empty side file URL means none.
struct UploadPlan
{
    QString videoName;
    QString fileFormat;
    QString perspective;
    QList<QUrl> videoFiles;
    QUrl aimeFile;
    QUrl fcpxmlFile;

    friend bool operator==(const UploadPlan &, const UploadPlan &) = default;
};
