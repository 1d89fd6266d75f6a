#pragma once

#include "Events.h"

#include <QStringList>
#include <QVector>

#include <atomic>

namespace qv::engine {

// Asks each programmer for its board id: opens it, runs the connection handshake (which only
// reads) and closes it again. A programmer that cannot be opened (another tool holds it) or does
// not answer is listed without an id. The list is sorted by board id, those without one last,
// then by path. stop, when given and raised, ends the probing early (those not asked have no id).
QVector<ListedProgrammer> probeProgrammers(const QStringList& paths, const std::atomic<bool>* stop = nullptr);

}  // namespace qv::engine
