#include "agent/openvpn/interactive_service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "tests/support/bytes.h"

namespace tovra::agent::openvpn {
namespace {

using tovra::testing::AsBytes;

std::vector<uint8_t> Utf16Le(std::u16string_view text) {
  std::vector<uint8_t> out;
  for (const char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

TEST(StartupMessage, IsUtf16LeWithThreeNuls) {
  const auto message =
      BuildStartupMessage(L"C:\\w d\u00e9", L"--config \"a b.conf\"", AsBytes("pw\n"));
  ASSERT_TRUE(message);
  const std::vector<uint8_t> expected = Utf16Le(std::u16string(u"C:\\w d\u00e9") + u'\0' +
                                                u"--config \"a b.conf\"" + u'\0' + u"pw\n" + u'\0');
  EXPECT_EQ(std::vector<uint8_t>(message->begin(), message->end()), expected);
  EXPECT_EQ(message->capacity(), message->size());  // sized once, never regrown
}

TEST(StartupMessage, LimitCountsTheNulsAndStopsAt1024) {
  // 1024 characters in all is the largest accepted; one more is refused.
  const std::wstring workdir(500, L'w');
  const std::string password(300, 'p');
  EXPECT_TRUE(BuildStartupMessage(workdir, std::wstring(221, L'o'), AsBytes(password)));
  EXPECT_EQ(BuildStartupMessage(workdir, std::wstring(221, L'o'), AsBytes(password))->size(),
            2048u);
  EXPECT_FALSE(BuildStartupMessage(workdir, std::wstring(222, L'o'), AsBytes(password)));
  EXPECT_FALSE(BuildStartupMessage(L"", L"", AsBytes(std::string(1022, 'p'))));
  EXPECT_TRUE(BuildStartupMessage(L"", L"", AsBytes(std::string(1021, 'p'))));
}

struct ReplyRow {
  const char* name;
  std::wstring reply;
  int32_t result;
  uint32_t pid;
  std::wstring message;
};

TEST(InteractiveServiceReply, EveryForm) {
  const std::wstring approval = L"ovpn: config location requires admin approval";
  const std::vector<ReplyRow> rows = {
      {"success", L"0x00000000\n0x00001a2b\nProcess ID", 0, 0x1a2b, L""},
      {"success upper hex", L"0x00000000\n0x00001A2B\nProcess ID\n", 0, 0x1a2b, L""},
      {"success, text after the id line", L"0x00000000\n0x0000000F\nxx Process ID yy", 0, 15, L""},
      {"success without Process ID", L"0x00000000\n0x00001a2b\nProcess", 2, 0, L""},
      {"success, Process ID only inside the id line", L"0x00000000\nProcess ID\n0x1", 2, 0, L""},
      {"success, pid of 7 digits", L"0x00000000\n0x0001a2b\nProcess ID", 2, 0, L""},
      {"success, pid with a non-hex digit", L"0x00000000\n0x0001a2g\nProcess ID", 2, 0, L""},
      {"success, pid with 0X", L"0x00000000\n0X00001a2b\nProcess ID", 2, 0, L""},
      {"success, rest of 20 characters", L"0x00000000\n0x00001a2b\nProcess I", 2, 0, L""},
      {"success, pid line without newline", L"0x00000000\n0x00001a2b Process ID", 2, 0, L""},
      {"startup data error", L"0x20000002\nbad startup data", 2, 0, L"bad startup data"},
      {"message data error", L"0x20000003\nx", 2, 0, L"x"},
      {"admin approval", L"0x20000001\n" + approval, 3, 0, approval},
      {"code 0x2000000A", L"0x2000000A\n", 5, 0, L""},
      {"admin group", L"0x20000001\nnot in the admin group", 3, 0, L"not in the admin group"},
      {"Administrators", L"0x20000001\nmembers of Administrators", 3, 0,
       L"members of Administrators"},
      {"authorized", L"0x20000001\nyou are not authorized", 3, 0, L"you are not authorized"},
      {"wrong case is another options error", L"0x20000001\nADMIN APPROVAL", 4, 0,
       L"ADMIN APPROVAL"},
      {"other options error", L"0x20000001\nbad option", 4, 0, L"bad option"},
      {"other code", L"0x00000005\nAccess is denied.", 5, 0, L"Access is denied."},
      {"other code upper hex", L"0xDEADBEEF\n", 5, 0, L""},
      {"ends at its NUL", std::wstring(L"0x00000005\nab\0cd", 16), 5, 0, L"ab"},
      {"empty", L"", 2, 0, L""},
      {"ten characters", L"0x00000005", 2, 0, L""},
      {"no newline at 10", L"0x00000005 x", 2, 0, L""},
      {"code of 7 digits", L"0x0000005\nx", 2, 0, L""},
      {"capital X", L"0X00000005\nx", 2, 0, L""},
      {"sign in code", L"0x-0000005\nx", 2, 0, L""},
  };
  for (const ReplyRow& row : rows) {
    SCOPED_TRACE(row.name);
    const LaunchResult r = ParseInteractiveServiceReply(row.reply);
    EXPECT_EQ(r.result, row.result);
    EXPECT_EQ(r.process_id, row.pid);
    EXPECT_EQ(r.message, row.message);
  }
}

TEST(InteractiveServiceReply, MessageKeepsAtMost500Characters) {
  const std::wstring text = L"authorized" + std::wstring(600, L'.');
  const LaunchResult r = ParseInteractiveServiceReply(L"0x20000001\n" + text);
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(r.message, text.substr(0, 500));
  // The approval words count anywhere in the text, also past the kept part.
  EXPECT_EQ(ParseInteractiveServiceReply(L"0x20000001\n" + std::wstring(600, L'.') + L"authorized")
                .result,
            3);
}

TEST(InteractiveServiceReply, EveryPrefixOfASuccessReplyIsRefused) {
  const std::wstring reply = L"0x00000000\n0x00001a2b\nProcess ID";
  for (size_t n = 0; n < reply.size(); ++n) {
    EXPECT_EQ(ParseInteractiveServiceReply(reply.substr(0, n)).result, 2) << n;
  }
}

TEST(PipeServerTrust, OnlyTheExpectedNonZeroServer) {
  EXPECT_TRUE(PipeServerTrusted(42, 42u));
  EXPECT_FALSE(PipeServerTrusted(42, 43u));
  EXPECT_FALSE(PipeServerTrusted(42, std::nullopt));
  EXPECT_FALSE(PipeServerTrusted(0, 0u));
  EXPECT_FALSE(PipeServerTrusted(0, std::nullopt));
}

}  // namespace
}  // namespace tovra::agent::openvpn
