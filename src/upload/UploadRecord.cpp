#include "UploadRecord.h"

#include "JsonField.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
constexpr qint64 formatVersion = 1;

const QList<std::pair<RunFile::Role, QString>> roleNames = {
    {RunFile::Role::aime, QStringLiteral("aime")},
    {RunFile::Role::fcpxml, QStringLiteral("fcpxml")},
    {RunFile::Role::video, QStringLiteral("video")},
};

QString roleName(RunFile::Role role)
{
    for (const auto &[candidate, name] : roleNames) {
        if (candidate == role)
            return name;
    }
    return {};
}

// Reads fields until the first that is missing or of another type; then every read is empty.
class RecordReader
{
public:
    std::optional<QString> problem;

    qint64 integer(const QJsonObject &object, const char *key)
    {
        const auto value = JsonField::integer(object.value(QLatin1String(key)), false);
        if (!value)
            fail(key);
        return value.value_or(0);
    }

    QString string(const QJsonObject &object, const char *key)
    {
        const auto value = JsonField::string(object.value(QLatin1String(key)));
        if (!value)
            fail(key);
        return value.value_or(QString());
    }

    std::optional<QString> optionalString(const QJsonObject &object, const char *key)
    {
        if (!object.contains(QLatin1String(key)))
            return std::nullopt;
        return string(object, key);
    }

    bool boolean(const QJsonObject &object, const char *key)
    {
        const auto value = JsonField::boolean(object.value(QLatin1String(key)));
        if (!value)
            fail(key);
        return value.value_or(false);
    }

    QJsonArray array(const QJsonObject &object, const char *key)
    {
        const QJsonValue value = object.value(QLatin1String(key));
        if (!value.isArray())
            fail(key);
        return value.toArray();
    }

    QJsonObject element(const QJsonArray &array, qsizetype index, const char *what)
    {
        if (!array.at(index).isObject())
            fail(what);
        return array.at(index).toObject();
    }

    void fail(const char *key)
    {
        if (!problem)
            problem = QStringLiteral("\"%1\" is missing or not valid").arg(QLatin1String(key));
    }
};

QJsonObject fileToJson(const RunFile &file)
{
    QJsonArray parts;
    for (const StoredPart &part : file.storedParts) {
        parts.append(QJsonObject{{QStringLiteral("partNumber"), part.partNumber},
                                 {QStringLiteral("eTag"), part.eTag},
                                 {QStringLiteral("offset"), part.offset},
                                 {QStringLiteral("size"), part.size}});
    }
    QJsonObject object{
        {QStringLiteral("role"), roleName(file.role)},
        {QStringLiteral("path"), file.file.toLocalFile()},
        {QStringLiteral("size"), file.identity.size},
        {QStringLiteral("modified"), file.identity.modified},
        // Inode numbers use all 64 bits; JSON integers here are signed.
        {QStringLiteral("inode"), QString::number(file.identity.inode)},
        {QStringLiteral("storedParts"), parts},
    };
    if (file.session)
        object.insert(QStringLiteral("sessionKey"), file.session->key);
    if (file.storageUrl)
        object.insert(QStringLiteral("storageUrl"), *file.storageUrl);
    return object;
}

RunFile fileFromJson(const QJsonObject &object, const QJsonValue &session, RecordReader &reader)
{
    RunFile file;
    const QString role = reader.string(object, "role");
    const auto known = std::find_if(roleNames.begin(), roleNames.end(),
                                    [&](const auto &entry) { return entry.second == role; });
    if (known == roleNames.end())
        reader.fail("role");
    else
        file.role = known->first;
    file.file = QUrl::fromLocalFile(reader.string(object, "path"));
    file.identity.size = reader.integer(object, "size");
    file.size = file.identity.size;
    file.identity.modified = reader.integer(object, "modified");
    bool inodeRead = false;
    file.identity.inode = reader.string(object, "inode").toULongLong(&inodeRead);
    if (!inodeRead)
        reader.fail("inode");
    const QJsonArray parts = reader.array(object, "storedParts");
    for (qsizetype index = 0; index < parts.size() && !reader.problem; ++index) {
        const QJsonObject part = reader.element(parts, index, "storedParts");
        file.storedParts.append(StoredPart{reader.integer(part, "partNumber"), reader.string(part, "eTag"),
                                           reader.integer(part, "offset"), reader.integer(part, "size")});
    }
    if (const std::optional<QString> sessionKey = reader.optionalString(object, "sessionKey")) {
        const auto decoded = BackblazePayload::decode(QJsonDocument(session.toObject()).toJson());
        if (!session.isObject() || !decoded)
            reader.fail("sessions");
        else if (decoded.value().key == *sessionKey)
            file.session = decoded.value();
    }
    file.storageUrl = reader.optionalString(object, "storageUrl");
    return file;
}
}

qint64 RunFile::storedBytes() const
{
    if (storageUrl)
        return identity.size;
    qint64 bytes = 0;
    for (const StoredPart &part : storedParts)
        bytes += part.size;
    return bytes;
}

qint64 UploadRecord::totalBytes() const
{
    qint64 bytes = 0;
    for (const RunFile &file : files)
        bytes += file.identity.size;
    return bytes;
}

qint64 UploadRecord::storedBytes() const
{
    qint64 bytes = 0;
    for (const RunFile &file : files)
        bytes += file.storedBytes();
    return bytes;
}

int UploadRecord::storedPercent() const
{
    const qint64 total = totalBytes();
    if (total <= 0)
        return 0;
    return int(storedBytes() * 100 / total);
}

QByteArray UploadRecord::sessionsJson() const
{
    QJsonArray sessions;
    for (const RunFile &file : files)
        sessions.append(file.session ? QJsonDocument::fromJson(file.session->toJson()).object() : QJsonValue());
    return QJsonDocument(sessions).toJson(QJsonDocument::Compact);
}

QByteArray UploadRecord::progressJson() const
{
    QJsonArray fileArray;
    for (const RunFile &file : files)
        fileArray.append(fileToJson(file));
    const QJsonObject object{
        {QStringLiteral("version"), formatVersion},
        {QStringLiteral("workspaceId"), workspaceId},
        {QStringLiteral("videoName"), plan.videoName},
        {QStringLiteral("fileFormat"), plan.fileFormat},
        {QStringLiteral("perspective"), plan.perspective},
        {QStringLiteral("registrationConfirmed"), registrationConfirmed},
        {QStringLiteral("files"), fileArray},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

Result<UploadRecord> UploadRecord::fromJson(const QByteArray &progress, const QByteArray &sessions)
{
    const auto unreadable = [](const QString &why) {
        return Error(Error::decodingDomain, 0, QStringLiteral("The record of the interrupted upload could not be read: %1.").arg(why));
    };
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(progress, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return unreadable(parseError.errorString());
    const QJsonArray sessionArray = QJsonDocument::fromJson(sessions).array();
    if (!document.isObject())
        return unreadable(QStringLiteral("it is not a JSON object"));
    const QJsonObject object = document.object();
    RecordReader reader;
    if (reader.integer(object, "version") != formatVersion)
        return unreadable(QStringLiteral("it was written by another version"));
    UploadRecord record;
    record.workspaceId = reader.integer(object, "workspaceId");
    record.plan.videoName = reader.string(object, "videoName");
    record.plan.fileFormat = reader.string(object, "fileFormat");
    record.plan.perspective = reader.string(object, "perspective");
    record.registrationConfirmed = reader.boolean(object, "registrationConfirmed");
    const QJsonArray fileArray = reader.array(object, "files");
    for (qsizetype index = 0; index < fileArray.size() && !reader.problem; ++index)
        record.files.append(fileFromJson(reader.element(fileArray, index, "files"), sessionArray.at(index), reader));
    if (reader.problem)
        return unreadable(*reader.problem);
    for (const RunFile &file : std::as_const(record.files)) {
        if (file.role == RunFile::Role::aime)
            record.plan.aimeFile = file.file;
        else if (file.role == RunFile::Role::fcpxml)
            record.plan.fcpxmlFile = file.file;
        else
            record.plan.videoFiles.append(file.file);
    }
    if (record.plan.videoFiles.isEmpty())
        return unreadable(QStringLiteral("it names no video file"));
    return record;
}
