#include "UploadForm.h"

#include "AssignProperty.h"
#include "FileFormat.h"

namespace {
bool isAivuFile(const QUrl &file)
{
    const QString name = file.fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot >= 0 && QStringView(name).mid(dot + 1).compare(u"aivu", Qt::CaseInsensitive) == 0;
}
}

UploadForm::UploadForm(QObject *parent)
    : QObject(parent)
    , m_selectedFileFormat(FileFormat::stereoscopicLeftRight)
    , m_selectedPerspective(QStringLiteral("60"))
{
    for (const auto formChanged : {&UploadForm::selectedFileChanged, &UploadForm::selectedFileLeftChanged,
                                   &UploadForm::selectedFileRightChanged, &UploadForm::selectedAIMEFileChanged,
                                   &UploadForm::selectedFCPXMLZipChanged, &UploadForm::videoNameChanged,
                                   &UploadForm::selectedFileFormatChanged,
                                   &UploadForm::requiresAIMEAndFCPXMLChanged})
        connect(this, formChanged, this, &UploadForm::refreshUploadDisabled);
}

QStringList UploadForm::perspectiveOptions()
{
    return {QStringLiteral("60"), QStringLiteral("180"), QStringLiteral("360")};
}

void UploadForm::setSelectedFile(const QUrl &file)
{
    if (assignProperty(this, m_selectedFile, file, &UploadForm::selectedFileChanged))
        handleSelectedFileChange(file);
}

void UploadForm::setSelectedFileLeft(const QUrl &file)
{
    assignProperty(this, m_selectedFileLeft, file, &UploadForm::selectedFileLeftChanged);
}

void UploadForm::setSelectedFileRight(const QUrl &file)
{
    assignProperty(this, m_selectedFileRight, file, &UploadForm::selectedFileRightChanged);
}

void UploadForm::setSelectedAIMEFile(const QUrl &file)
{
    assignProperty(this, m_selectedAIMEFile, file, &UploadForm::selectedAIMEFileChanged);
}

void UploadForm::setSelectedFCPXMLZip(const QUrl &file)
{
    assignProperty(this, m_selectedFCPXMLZip, file, &UploadForm::selectedFCPXMLZipChanged);
}

void UploadForm::setVideoName(const QString &name)
{
    assignProperty(this, m_videoName, name, &UploadForm::videoNameChanged);
}

void UploadForm::setSelectedFileFormat(const QString &label)
{
    if (assignProperty(this, m_selectedFileFormat, label, &UploadForm::selectedFileFormatChanged))
        handleFileFormatChange();
}

void UploadForm::setSelectedPerspective(const QString &perspective)
{
    assignProperty(this, m_selectedPerspective, perspective, &UploadForm::selectedPerspectiveChanged);
}

void UploadForm::setRequiresAIMEAndFCPXML(bool required)
{
    assignProperty(this, m_requiresAIMEAndFCPXML, required, &UploadForm::requiresAIMEAndFCPXMLChanged);
}

void UploadForm::setUploading(bool uploading)
{
    m_uploading = uploading;
    refreshUploadDisabled();
}

void UploadForm::selectFileFormat(const QString &label)
{
    // The change handlers see the choice once it is complete: run on the format alone, they
    // would keep an .aivu file that choosing "Separate" clears.
    const bool formatChanged = assignProperty(this, m_selectedFileFormat, label, &UploadForm::selectedFileFormatChanged);
    bool fileChanged = false;
    if (label == FileFormat::separate) {
        fileChanged = assignProperty(this, m_selectedFile, QUrl(), &UploadForm::selectedFileChanged);
    } else {
        setSelectedFileLeft(QUrl());
        setSelectedFileRight(QUrl());
    }
    if (label == FileFormat::appleImmersive)
        setSelectedPerspective(QStringLiteral("180"));
    if (fileChanged)
        handleSelectedFileChange(m_selectedFile);
    if (formatChanged)
        handleFileFormatChange();
}

void UploadForm::handleSelectedFileChange(const QUrl &newFile)
{
    // An .aivu file carries what the side files would add; a ProRes file needs them.
    if (!newFile.isEmpty() && isAivuFile(newFile)) {
        setSelectedFileFormat(FileFormat::appleImmersive);
        setRequiresAIMEAndFCPXML(false);
    } else {
        setRequiresAIMEAndFCPXML(m_selectedFileFormat == FileFormat::appleImmersive);
    }
}

void UploadForm::handleFileFormatChange()
{
    if (!m_selectedFile.isEmpty())
        handleSelectedFileChange(m_selectedFile);
}

std::optional<QString> UploadForm::problem() const
{
    if (m_selectedFileFormat != FileFormat::separate) {
        if (m_selectedFile.isEmpty() || m_videoName.isEmpty())
            return QStringLiteral("Select a file and enter a name.");
    } else if (m_selectedFileLeft.isEmpty() || m_selectedFileRight.isEmpty() || m_videoName.isEmpty()) {
        return QStringLiteral("Select both files and enter a name.");
    }
    if (m_requiresAIMEAndFCPXML && (m_selectedAIMEFile.isEmpty() || m_selectedFCPXMLZip.isEmpty()))
        return QStringLiteral("For .aivu files, both AIME and FCPXML are required.");
    return std::nullopt;
}

UploadPlan UploadForm::plan() const
{
    UploadPlan plan{m_videoName, m_selectedFileFormat, m_selectedPerspective, {}, {}, {}};
    if (m_selectedFileFormat != FileFormat::separate)
        plan.videoFiles = {m_selectedFile};
    else
        plan.videoFiles = {m_selectedFileLeft, m_selectedFileRight};
    // Side files still chosen after a change of format are neither stored nor sent.
    if (m_selectedFileFormat == FileFormat::appleImmersive) {
        plan.aimeFile = m_selectedAIMEFile;
        plan.fcpxmlFile = m_selectedFCPXMLZip;
    }
    return plan;
}

void UploadForm::refreshUploadDisabled()
{
    assignProperty(this, m_uploadDisabled, m_uploading || problem().has_value(), &UploadForm::uploadDisabledChanged);
}
