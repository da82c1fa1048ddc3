#pragma once

#include <QByteArray>
#include <QJsonObject>

// Answers of the service as tests need them. Kept out of the test sources because moc
// misreads "//" inside raw string literals.
namespace ServiceFixtures {
QByteArray workspaceJson(const QByteArray &workspaceName = "Studio");
QJsonObject workspaceObject();
QByteArray libraryEntryJson();
QByteArray uploadSessionJson();
}
