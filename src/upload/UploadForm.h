#pragma once

#include "UploadPlan.h"

#include <QObject>
#include <QStringList>
#include <QUrl>

#include <optional>

// The upload screen's form: the chosen files, the name, the format and the perspective, the rules
// that tie the format to the files, and whether the form would start a run. A file URL that is
// empty means "no file chosen".
class UploadForm : public QObject
{
    Q_OBJECT

public:
    explicit UploadForm(QObject *parent = nullptr);

    static QStringList perspectiveOptions();

    QUrl selectedFile() const { return m_selectedFile; }
    void setSelectedFile(const QUrl &file);
    QUrl selectedFileLeft() const { return m_selectedFileLeft; }
    void setSelectedFileLeft(const QUrl &file);
    QUrl selectedFileRight() const { return m_selectedFileRight; }
    void setSelectedFileRight(const QUrl &file);
    QUrl selectedAIMEFile() const { return m_selectedAIMEFile; }
    void setSelectedAIMEFile(const QUrl &file);
    QUrl selectedFCPXMLZip() const { return m_selectedFCPXMLZip; }
    void setSelectedFCPXMLZip(const QUrl &file);
    QString videoName() const { return m_videoName; }
    void setVideoName(const QString &name);
    QString selectedFileFormat() const { return m_selectedFileFormat; }
    void setSelectedFileFormat(const QString &label);
    QString selectedPerspective() const { return m_selectedPerspective; }
    void setSelectedPerspective(const QString &perspective);
    bool requiresAIMEAndFCPXML() const { return m_requiresAIMEAndFCPXML; }

    // Disabled while a run is going, and while the form would be refused.
    bool uploadDisabled() const { return m_uploadDisabled; }
    void setUploading(bool uploading);

    // Sets the format and clears the other mode's files.
    void selectFileFormat(const QString &label);
    // Run after every change of selectedFile and of selectedFileFormat.
    void handleSelectedFileChange(const QUrl &newFile);
    void handleFileFormatChange();

    // Why the form cannot start a run as it stands, or nothing when it can.
    std::optional<QString> problem() const;
    // The run the form describes; only meaningful when there is no problem.
    UploadPlan plan() const;

Q_SIGNALS:
    void selectedFileChanged();
    void selectedFileLeftChanged();
    void selectedFileRightChanged();
    void selectedAIMEFileChanged();
    void selectedFCPXMLZipChanged();
    void videoNameChanged();
    void selectedFileFormatChanged();
    void selectedPerspectiveChanged();
    void requiresAIMEAndFCPXMLChanged();
    void uploadDisabledChanged();

private:
    void setRequiresAIMEAndFCPXML(bool required);
    void refreshUploadDisabled();

    QUrl m_selectedFile;
    QUrl m_selectedFileLeft;
    QUrl m_selectedFileRight;
    QUrl m_selectedAIMEFile;
    QUrl m_selectedFCPXMLZip;
    QString m_videoName;
    QString m_selectedFileFormat;
    QString m_selectedPerspective;
    bool m_requiresAIMEAndFCPXML = false;
    bool m_uploading = false;
    bool m_uploadDisabled = true;
};
