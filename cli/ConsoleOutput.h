#pragma once

#include "engine/Events.h"

#include <memory>

namespace qv::cli {

using engine::EventSink;

// JSON Lines on standard output, one object per event, the first a "hello" naming the schema
// (docs/qv310-events.schema.json); nothing else goes there.
std::unique_ptr<EventSink> makeJsonSink();
// Log lines and errors on standard error, a progress bar when it is a terminal, one closing line
// per board (a table for several). quiet leaves out log lines and progress.
std::unique_ptr<EventSink> makeHumanSink(bool quiet);

}  // namespace qv::cli
