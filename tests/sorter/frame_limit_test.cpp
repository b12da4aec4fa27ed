// No frame over the limit: the one serializing helper refuses a message
// that does not fit, and a flush with too many keys for one frame is
// announced in several notifications.
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail_quarantine_client_ipc.pb.h"
#include "sorter/convert.h"
#include "util/frame.h"

namespace {

using response_t = mq::MailQuarantine2SorterMessage;

// A client response of exactly `size` bytes.
mq::MailQuarantine2ClientMessage message_of_size(std::size_t size) {
  mq::MailQuarantine2ClientMessage m;
  m.set_tag(mq::MailQuarantine2ClientMessage::FLUSH_QUEUE_RESPONSE);
  m.set_report(std::string(size - 7, 'r'));  // tag 2, field key 1, length 4 bytes
  EXPECT_EQ(size, m.ByteSizeLong());
  return m;
}

TEST(FrameLimit, TheLargestMessageIsFramedAndOneByteMoreIsRefused) {
  const mq::util::frame_t frame = mq::util::serialize_frame(message_of_size(mq::util::max_frame_size));
  EXPECT_EQ(67108864u, frame.size);
  EXPECT_EQ('r', frame.data[frame.size - 1]);
  try {
    mq::util::serialize_frame(message_of_size(mq::util::max_frame_size + 1));
    FAIL() << "a frame over the limit was made";
  } catch (const mq::util::frame_too_large_t& e) {
    EXPECT_EQ(EMSGSIZE, e.code().value());
  }
}

struct split_row_t {
  std::size_t keys;
  std::size_t max_size;
  std::size_t notifications;
};

class QueueChangeSplit : public ::testing::TestWithParam<split_row_t> {};

TEST_P(QueueChangeSplit, EveryKeyOnceInOrderAndNoNotificationOverTheLimit) {
  const split_row_t row = GetParam();
  mq::store::queue_change_t change;
  change.status = mq::store::bcc_fresh;
  for (std::size_t i = 0; i < row.keys; ++i)
    change.keys.push_back({static_cast<std::int64_t>(1000 + i), i % 3 == 0 ? 0u : (1ull << 40) + i});

  const std::vector<response_t> out = mq::sorter::queue_change_notifications(change, row.max_size);
  ASSERT_EQ(row.notifications, out.size());
  std::size_t next = 0;
  for (const response_t& m : out) {
    EXPECT_EQ(response_t::QUEUE_CHANGE_NOTIFICATION, m.tag());
    EXPECT_EQ(mq::BCC_FRESH, m.status());
    EXPECT_FALSE(m.has_serial());
    EXPECT_LE(m.ByteSizeLong(), row.max_size);
    for (const auto& key : m.queue_key_list()) {
      ASSERT_LT(next, row.keys);
      EXPECT_EQ(change.keys[next].entry_id, static_cast<std::int64_t>(key.entry_id()));
      EXPECT_EQ(change.keys[next].next_access_ts, key.next_access_ts());
      ++next;
    }
  }
  EXPECT_EQ(row.keys, next);
}

// A key costs 3 bytes of field key and length, 3 of entry id and 2 or 7
// of time (8 at time 0, else 13); the notification itself 4.
INSTANTIATE_TEST_SUITE_P(Rows, QueueChangeSplit,
                         ::testing::Values(split_row_t{1, mq::util::max_frame_size, 1},
                                           split_row_t{100000, mq::util::max_frame_size, 1},
                                           split_row_t{3, 4 + 8 + 13 + 13, 1}, split_row_t{3, 4 + 8 + 13, 2},
                                           split_row_t{10, 4 + 13, 10}));

}  // namespace
