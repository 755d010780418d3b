#include "common/base/secret_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ipc/messages.h"

// The array allocator of this test program (secret_buffer_test_alloc.cpp) checks
// every block freed while watching is on for bytes left behind.
extern bool g_watch;
extern int g_freed_blocks;
extern int g_dirty_blocks;

namespace tovra::common {
namespace {

class SecretBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_freed_blocks = 0;
    g_dirty_blocks = 0;
    g_watch = true;
  }
  void TearDown() override { g_watch = false; }
};

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

TEST_F(SecretBufferTest, GrowingAndDestroyingFreeOnlyWipedStorage) {
  {
    SecretBuffer b;
    const std::string key(1000, 'k');
    for (char c : key) b.push_back(static_cast<uint8_t>(c));  // many reallocations
    EXPECT_EQ(b.view(), key);
  }
  EXPECT_GT(g_freed_blocks, 5);
  EXPECT_EQ(g_dirty_blocks, 0);
}

TEST_F(SecretBufferTest, ClearAndShrinkWipeButKeepStorage) {
  SecretBuffer b = SecretBuffer::FromText("private-key-material");
  const uint8_t* storage = b.data();
  b.resize(7);
  EXPECT_EQ(b.view(), "private");
  EXPECT_TRUE(AllZero(b.data() + 7, 13));
  b.clear();
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.data(), storage);
  EXPECT_TRUE(AllZero(b.data(), b.capacity()));
  EXPECT_EQ(g_freed_blocks, 0);
}

TEST_F(SecretBufferTest, MoveLeavesTheSourceEmptyAndFreesOnce) {
  SecretBuffer a = SecretBuffer::FromText("password");
  SecretBuffer b(std::move(a));
  EXPECT_TRUE(a.empty());  // NOLINT: the moved-from state is specified
  EXPECT_EQ(a.data(), nullptr);
  EXPECT_EQ(b.view(), "password");
  SecretBuffer c = SecretBuffer::FromText("old");
  c = std::move(b);  // the old contents are wiped and freed
  EXPECT_EQ(c.view(), "password");
  EXPECT_EQ(g_freed_blocks, 1);
  EXPECT_EQ(g_dirty_blocks, 0);
}

TEST_F(SecretBufferTest, AbsorbWipesThePlainSource) {
  std::string plain = "a profile with <key> inside";
  const char* storage = plain.data();
  const size_t capacity = plain.capacity();
  SecretBuffer b = SecretBuffer::Absorb(plain);
  EXPECT_EQ(b.view(), "a profile with <key> inside");
  EXPECT_TRUE(plain.empty());
  EXPECT_TRUE(AllZero(reinterpret_cast<const uint8_t*>(storage), capacity));
}

TEST_F(SecretBufferTest, SecretPayloadSizedOnceNeverReallocates) {
  const std::string profile(30000, 'p');
  const std::string password = "hunter2";
  SecretPayloadWriter w;
  w.Reserve(WireStringSize(profile) + WireStringSize("user") + WireStringSize(password));
  const uint8_t* storage = w.bytes().data();
  ASSERT_TRUE(w.WriteString(profile) && w.WriteString("user") && w.WriteString(password));
  EXPECT_EQ(w.bytes().data(), storage);
  EXPECT_EQ(w.bytes().size(), w.bytes().capacity());
  EXPECT_EQ(g_freed_blocks, 0);

  SecretBuffer payload = w.Take();
  PayloadReader r(payload);
  SecretBuffer read_profile, read_user, read_password;
  ASSERT_TRUE(r.ReadString(read_profile) && r.ReadString(read_user) && r.ReadString(read_password));
  EXPECT_EQ(read_profile.view(), profile);
  EXPECT_EQ(read_password.view(), password);
  EXPECT_EQ(read_user.capacity(), 4u);  // decoded at its exact size
}

}  // namespace
}  // namespace tovra::common
