// User resolution for the store and the privilege drop.
#include <pwd.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "util/resolved_user.h"

namespace {

// A uid without a passwd entry.
std::uint32_t unknown_uid() {
  std::uint32_t uid = 3999999;
  while (::getpwuid(uid)) --uid;
  return uid;
}

std::string error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(resolved_user, uid_wins_over_name_and_gid_is_looked_up_late) {
  ov::LocalUser user;
  user.set_name("mq-no-such-user");
  user.set_uid(0);
  mq::util::resolved_user_t r(user);  // would throw if the name were looked up
  EXPECT_EQ(0u, r.uid());
  EXPECT_FALSE(r.gid_known());
  EXPECT_EQ("0", r.text());
  EXPECT_EQ(::getpwuid(0)->pw_gid, r.gid());
  EXPECT_TRUE(r.gid_known());
  EXPECT_EQ("0:" + std::to_string(::getpwuid(0)->pw_gid), r.text());
}

TEST(resolved_user, uid_is_cut_to_32_bits) {
  ov::LocalUser user;
  user.set_uid((std::int64_t(1) << 32) + 5);
  EXPECT_EQ(5u, mq::util::resolved_user_t(user).uid());
}

TEST(resolved_user, name_gives_uid_and_gid) {
  const passwd* root = ::getpwuid(0);
  ASSERT_NE(nullptr, root);
  ov::LocalUser user;
  user.set_name(root->pw_name);
  mq::util::resolved_user_t r(user);
  EXPECT_EQ(0u, r.uid());
  EXPECT_TRUE(r.gid_known());
  EXPECT_EQ("0:" + std::to_string(root->pw_gid), r.text());
}

TEST(resolved_user, unknown_name_and_empty_user) {
  ov::LocalUser user;
  user.set_name("mq-no-such-user");
  EXPECT_EQ("getpwnam(\"mq-no-such-user\"): No such user", error_text([&] { mq::util::resolved_user_t r(user); }));
  EXPECT_EQ("getpwnam(\"\"): No such user", error_text([] { mq::util::resolved_user_t r{ov::LocalUser()}; }));
}

TEST(resolved_user, uid_without_entry_fails_only_when_the_gid_is_needed) {
  const std::uint32_t uid = unknown_uid();
  ov::LocalUser user;
  user.set_uid(uid);
  mq::util::resolved_user_t r(user);
  EXPECT_EQ(std::to_string(uid), r.text());
  EXPECT_EQ("getpwuid(" + std::to_string(uid) + "): No user with such uid", error_text([&] { r.gid(); }));
  EXPECT_FALSE(r.gid_known());
}

}  // namespace
