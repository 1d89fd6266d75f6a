#include "CatalogueSearch.h"

#include "BoundedRead.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace qv::engine {

namespace {

const QString kFileName = QStringLiteral("Flash.ini");

CatalogueChoice readCatalogue(const QString& path) {
    CatalogueChoice choice;
    const QFileInfo info(path);
    choice.path = info.absoluteFilePath();
    if (info.isDir()) {
        choice.error = QStringLiteral("%1: is a folder, not a flash catalogue").arg(path);
        return choice;
    }
    QString why;
    const ReadOutcome read = readBounded(choice.path, kLargestCatalogue, choice.text, why);
    if (read != ReadOutcome::Read) {
        choice.error = QStringLiteral("%1: %2").arg(path, why);
        return choice;
    }
    choice.ok = true;
    return choice;
}

}  // namespace

QStringList catalogueSearchPath(bool currentFolder) {
    QStringList places;
    if (currentFolder)
        places << QDir::current().absoluteFilePath(kFileName);
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!data.isEmpty())
        places << QDir(data).absoluteFilePath(QStringLiteral("qv310-isp/") + kFileName);
    const QString programFolder = QCoreApplication::applicationDirPath();
    if (!programFolder.isEmpty()) {
#ifdef _WIN32
        places << QDir(programFolder).absoluteFilePath(kFileName);
#else
        places << QDir::cleanPath(programFolder + QStringLiteral("/../share/qv310-isp/") + kFileName);
#endif
    }
    places.removeDuplicates();
    return places;
}

CatalogueChoice findFlashCatalogue(const QString& given, bool currentFolder) {
    if (!given.isEmpty()) {
        if (!QFileInfo::exists(given)) {
            CatalogueChoice choice;
            choice.error = QStringLiteral("%1: no such flash catalogue").arg(given);
            return choice;
        }
        return readCatalogue(given);
    }
    for (const QString& place : catalogueSearchPath(currentFolder)) {
        if (QFileInfo::exists(place))
            return readCatalogue(place);
    }
    CatalogueChoice none;
    none.ok = true;
    return none;
}

}  // namespace qv::engine
