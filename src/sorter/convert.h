#pragma once

#include <cstddef>
#include <vector>

#include "mail_quarantine_entry.pb.h"
#include "mail_quarantine_sorter_ipc.pb.h"
#include "net/frame.h"
#include "store/entry.h"
#include "util/unique_fd.h"

// Field-by-field conversions between the Sorter's messages and the store's
// records.
namespace mq::sorter {

// A PUT's entry; `status` is the store status (wire value minus 1) and the
// file takes the frame's descriptor with the stated message size.
mq::store::entry_t to_entry(const Entry& entry, mq::store::status_t status, mq::util::unique_fd_t fd);

// An UPDATE's changes; the file (and so message_filename and message_size)
// is left to the caller.
mq::store::entry_metadata_update_t to_update(const EntryUpdate& update);

// The `entry` of a GET response.
void fill_entry(Entry& out, const mq::store::entry_t& entry);

// The QUEUE_CHANGE_NOTIFICATION of the keys of `change` from `next` on, as
// many as fit `max_size` bytes but at least one; `next` moves past them.
MailQuarantine2SorterMessage queue_change_notification(const mq::store::queue_change_t& change, std::size_t& next,
                                                       std::size_t max_size);

}  // namespace mq::sorter
