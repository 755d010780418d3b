#include "common/win/folder_chain_win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_folder_win.h"

namespace tovra::common {
namespace {

using tovra::testing::Exists;
using tovra::testing::IsFolder;
using tovra::testing::ReadAll;

bool WriteAll(HANDLE file, std::string_view text) {
  DWORD written = 0;
  return ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

class FolderChainTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(IsFolder(base_)); }
  std::wstring At(std::wstring_view relative) const { return folder_ / relative; }

  tovra::testing::TempFolder folder_{L"tovra-chain"};
  const std::wstring base_ = folder_.path();
};

TEST_F(FolderChainTest, CreatesAMissingChainAndHoldsEveryFolderUntilReleased) {
  FolderChain chain = OpenFolderChain(base_, {L"a", L"b", L"c"});
  ASSERT_TRUE(chain) << DescribeWin32Error(chain.error);
  EXPECT_FALSE(chain.error);
  ASSERT_EQ(chain.folders.size(), 4u);
  EXPECT_EQ(chain.leaf(), chain.folders.back().get());
  for (const wchar_t* folder : {L"a", L"a\\b", L"a\\b\\c"}) {
    ASSERT_TRUE(IsFolder(At(folder))) << folder;
    // Held: neither renamed nor (the empty leaf) deleted, so never swapped.
    EXPECT_FALSE(::MoveFileW(At(folder).c_str(), (At(folder) + L"-moved").c_str())) << folder;
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << folder;
  }
  EXPECT_FALSE(::RemoveDirectoryW(At(L"a\\b\\c").c_str()));
  EXPECT_TRUE(IsFolder(At(L"a\\b\\c")));
  EXPECT_TRUE(OpenFolderChain(base_, {L"a", L"b", L"c"}, {.create_missing = false}))
      << "held folders can be walked again";

  chain.folders.clear();
  EXPECT_TRUE(::MoveFileW(At(L"a\\b\\c").c_str(), At(L"a\\b\\c-moved").c_str()))
      << "released folders can be renamed again";
}

TEST_F(FolderChainTest, RefusesAnythingButOnePlainNamePerFolderAndCreatesNothing) {
  for (const wchar_t* name :
       {L"", L".", L"..", L"..\\x", L"x\\y", L"x/y", L"x:y", L"*", L"x?", L"x<y"}) {
    FolderChain chain = OpenFolderChain(base_, {L"a", name, L"c"});
    EXPECT_FALSE(chain) << name;
    EXPECT_EQ(chain.error, (Win32Error{kErrorBadName, L"folder name check"})) << name;
    EXPECT_EQ(chain.failed_folder, At(std::wstring(L"a\\") + name)) << name;
    EXPECT_TRUE(tovra::testing::ListFolder(At(L"a")).empty()) << name;
    FileUnder file = CreateFileUnder(OpenFolderChain(base_, {L"a"}).leaf(), name,
                                     {GENERIC_WRITE, 0, FileCreation::kOpenAlways, nullptr});
    EXPECT_FALSE(file.file) << name;
    EXPECT_EQ(file.error, (Win32Error{kErrorBadName, L"file name check"})) << name;
    EXPECT_TRUE(tovra::testing::ListFolder(At(L"a")).empty()) << name;
  }
  EXPECT_EQ(tovra::testing::ListFolder(base_), std::vector<std::wstring>{L"a"})
      << "nothing left the folder";
}

// A file where a folder belongs, as the base or in the chain; a missing base, and
// a missing folder when nothing may be created.
TEST_F(FolderChainTest, RefusesWhatIsNotAFolder) {
  UniqueHandle file(::CreateFileW(At(L"file").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  file.reset();
  struct Row {
    std::wstring base;
    std::initializer_list<std::wstring_view> names;
    bool create;
    Win32Error error;
    std::wstring failed;
  } rows[] = {
      {base_, {L"file", L"b"}, true, {kErrorNotADirectory, L"NtCreateFile"}, At(L"file")},
      {At(L"file"), {L"b"}, true, {kErrorNotADirectory, L"directory check"}, At(L"file")},
      {At(L"absent"), {L"b"}, true, {ERROR_FILE_NOT_FOUND, L"CreateFileW"}, At(L"absent")},
      {base_, {L"absent", L"b"}, false, {ERROR_FILE_NOT_FOUND, L"NtCreateFile"}, At(L"absent")},
  };
  for (const Row& row : rows) {
    FolderChain chain = OpenFolderChain(row.base, row.names, {.create_missing = row.create});
    EXPECT_TRUE(chain.folders.empty());
    EXPECT_FALSE(chain) << row.failed;
    EXPECT_EQ(chain.error, row.error) << DescribeWin32Error(chain.error);
    EXPECT_EQ(chain.failed_folder, row.failed);
    EXPECT_FALSE(chain.refused_reparse_point());
  }
  EXPECT_FALSE(Exists(At(L"absent")));
}

// One row per rule: what the handle says, what the parent's listing says.
TEST(JudgeOpenedFolder, RefusesLinksNonFoldersAndVanishedEntries) {
  constexpr uint32_t kDir = FILE_ATTRIBUTE_DIRECTORY;
  constexpr uint32_t kLink = FILE_ATTRIBUTE_REPARSE_POINT;
  constexpr uint32_t kFile = FILE_ATTRIBUTE_ARCHIVE;
  struct Row {
    uint32_t handle;
    std::optional<uint32_t> entry;
    uint32_t code;
  } rows[] = {
      {kDir, kDir, 0},  // a plain folder
      {kDir | kLink, kDir | kLink,
       kErrorReparsePointEncountered},                      // a junction, as Windows opens it
      {kDir, kDir | kLink, kErrorReparsePointEncountered},  // link followed despite asking not to
      {kDir | kLink, kDir, kErrorReparsePointEncountered},  // swapped after the listing
      {kDir | kLink, std::nullopt, kErrorReparsePointEncountered},
      {kDir, std::nullopt, ERROR_FILE_NOT_FOUND},  // moved away after the open
      {kFile, kFile, kErrorNotADirectory},
      {kDir, kFile, kErrorNotADirectory},  // listed entry is not what was opened
      {kFile, kDir, kErrorNotADirectory},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(JudgeOpenedFolder(row.handle, row.entry).code, row.code)
        << std::hex << row.handle << " / " << row.entry.value_or(0xFFFFFFFF);
  }
}

TEST_F(FolderChainTest, ReadsEachEntryOfOneFolderHandleOnItsOwn) {
  ASSERT_TRUE(::CreateDirectoryW(At(L"sub").c_str(), nullptr));
  UniqueHandle file(::CreateFileW(At(L"file.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  file.reset();
  FolderChain chain = OpenFolderChain(base_, {});
  ASSERT_TRUE(chain);
  // The same folder handle for every read: each answers for its own name.
  const FolderEntry sub = ReadFolderEntry(chain.leaf(), L"sub");
  const FolderEntry plain = ReadFolderEntry(chain.leaf(), L"FILE.TXT");
  const FolderEntry absent = ReadFolderEntry(chain.leaf(), L"absent");
  const FolderEntry bad = ReadFolderEntry(chain.leaf(), L"*");
  ASSERT_TRUE(sub.attributes);
  EXPECT_NE(*sub.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  ASSERT_TRUE(plain.attributes);
  EXPECT_EQ(*plain.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_FALSE(absent.attributes);
  EXPECT_FALSE(absent.error);
  EXPECT_EQ(bad.error.code, kErrorBadName) << "a wildcard is never listed as a pattern";
}

TEST_F(FolderChainTest, CreatesTheFileInsideTheHeldFolder) {
  FolderChain chain = OpenFolderChain(base_, {L"a", L"b"});
  ASSERT_TRUE(chain);
  const FileUnderRequest create_new{GENERIC_WRITE, 0, FileCreation::kCreateNew, nullptr};
  FileUnder made = CreateFileUnder(chain.leaf(), L"x.conf", create_new);
  ASSERT_TRUE(made.file) << DescribeWin32Error(made.error);
  ASSERT_TRUE(WriteAll(made.file.get(), "first\n"));
  made.file.reset();
  EXPECT_EQ(ReadAll(At(L"a\\b\\x.conf")), "first\n");

  FileUnder again = CreateFileUnder(chain.leaf(), L"x.conf", create_new);
  EXPECT_FALSE(again.file);
  EXPECT_EQ(again.error, (Win32Error{ERROR_FILE_EXISTS, L"NtCreateFile"}));

  FileUnder append =
      CreateFileUnder(chain.leaf(), L"x.conf",
                      {FILE_APPEND_DATA, FILE_SHARE_READ, FileCreation::kOpenAlways, nullptr});
  ASSERT_TRUE(append.file) << DescribeWin32Error(append.error);
  ASSERT_TRUE(WriteAll(append.file.get(), "second\n"));
  append.file.reset();
  EXPECT_EQ(ReadAll(At(L"a\\b\\x.conf")), "first\nsecond\n") << "opened, not replaced";
  EXPECT_EQ(tovra::testing::ListFolder(At(L"a\\b")), std::vector<std::wstring>{L"x.conf"});
}

// The file goes where the handle points, not where the folder's old path now
// leads: a folder renamed away (possible here because this test's own handle
// shares delete) and replaced by a new one of the same name.
TEST_F(FolderChainTest, CreatesRelativeToTheHandleNotThePath) {
  ASSERT_TRUE(::CreateDirectoryW(At(L"a").c_str(), nullptr));
  UniqueHandle folder(::CreateFileW(At(L"a").c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(folder);
  ASSERT_TRUE(::MoveFileW(At(L"a").c_str(), At(L"moved").c_str()));
  ASSERT_TRUE(::CreateDirectoryW(At(L"a").c_str(), nullptr));
  FileUnder made = CreateFileUnder(folder.get(), L"x.conf",
                                   {GENERIC_WRITE, 0, FileCreation::kCreateNew, nullptr});
  ASSERT_TRUE(made.file) << DescribeWin32Error(made.error);
  made.file.reset();
  EXPECT_TRUE(Exists(At(L"moved\\x.conf")));
  EXPECT_FALSE(Exists(At(L"a\\x.conf")));
}

// The ctest fixture makes <base>\real\link a Linux symbolic link to a folder
// outside, which Wine shows as a reparse point in the listing only.
class FolderChainReparse : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"TOVRA_CHAIN_REPARSE_BASE", base, MAX_PATH) == 0) {
      GTEST_SKIP() << "needs the win_folder_chain ctest fixture";
    }
    base_ = base;
  }
  std::wstring base_;
};

TEST_F(FolderChainReparse, RefusesALinkInTheChainAndCreatesNothingThroughIt) {
  ASSERT_TRUE(OpenFolderChain(base_, {L"real"})) << "the folders before the link are fine";
  const std::wstring target = base_ + L"\\..\\target";
  for (const bool create : {true, false}) {
    for (const bool link_is_leaf : {true, false}) {
      FolderChain chain =
          link_is_leaf
              ? OpenFolderChain(base_, {L"real", L"link"}, {.create_missing = create})
              : OpenFolderChain(base_, {L"real", L"link", L"leaf"}, {.create_missing = create});
      EXPECT_FALSE(chain);
      EXPECT_TRUE(chain.refused_reparse_point()) << DescribeWin32Error(chain.error);
      EXPECT_EQ(chain.failed_folder, base_ + L"\\real\\link");
    }
  }
  EXPECT_TRUE(tovra::testing::ListFolder(target).empty()) << "nothing was created through the link";
  const FolderEntry link = ReadFolderEntry(OpenFolderChain(base_, {L"real"}).leaf(), L"link");
  ASSERT_TRUE(link.attributes);
  EXPECT_NE(*link.attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
}

}  // namespace
}  // namespace tovra::common
