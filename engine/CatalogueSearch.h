#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace qv::engine {

// The flash catalogue (Flash.ini) a run reads, found before anything is sent.
struct CatalogueChoice {
    bool ok = false;
    QString error;    // set when !ok: the catalogue found (or given) cannot be used
    QString path;     // absolute path of the catalogue; empty when none was found
    QByteArray text;  // its bytes
};

// The largest catalogue read.
constexpr qint64 kLargestCatalogue = 1024 * 1024;

// The places searched, in order, after a catalogue given by name: Flash.ini in the current
// folder (not for a program started from the desktop menu, whose current folder is wherever the
// desktop was: currentFolder false), in the user's data folder ($XDG_DATA_HOME/qv310-isp,
// ~/.local/share/qv310-isp by default; %LOCALAPPDATA%\qv310-isp on Windows), and the one
// installed with the program (<prefix>/share/qv310-isp beside bin/; on Windows beside the .exe).
QStringList catalogueSearchPath(bool currentFolder = true);

// given: a catalogue named by the command line or the job (must exist); empty: the first of
// catalogueSearchPath() that exists. Finding none is no error (path stays empty): the chips then
// have no name and no size. A catalogue that exists but cannot be read whole is an error.
CatalogueChoice findFlashCatalogue(const QString& given, bool currentFolder = true);

}  // namespace qv::engine
