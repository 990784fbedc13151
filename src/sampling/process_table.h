// The answer to processTable: every process of the system with its parent
// and name, from a fresh process-information source that reads only the
// basic values. Independent of the sampler: its source, spacing and
// sequence are untouched. Main thread.
#pragma once

#include <string_view>
#include <vector>

#include "procinfo/platform.h"
#include "protocol/io_status.h"
#include "protocol/message_writer.h"
#include "protocol/outgoing_message.h"

namespace sidecar::sampling {

/// Every process the platform lists and can read, except pid 0, sorted by
/// pid; ppid 0 when there is no parent; names converted to UTF-8 and cut to
/// NAME_MAX_BYTES. Empty when the listing fails. Cannot fail.
std::vector<protocol::ProcessTableEntry> buildProcessTable(procinfo::Platform& platform);

/// Builds the table and writes it as one processTable message carrying
/// `requestId`. Returns the write failure, if any.
protocol::IoStatus answerProcessTable(std::string_view requestId, procinfo::Platform& platform,
                                      protocol::MessageWriter& writer);

}  // namespace sidecar::sampling
