// Staged outputs put in place all or none, the folder lock that keeps a
// second run out, and the clearing of what a killed run left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <map>

#include "support/atomic_file.h"
#include "support/folder_lock.h"
#include "support/test_support.h"

using namespace test_support;
using namespace korvane_navigation;

namespace {

// Regular files of a folder by name, with their content.
std::map<std::string, std::string> contents(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (boost::filesystem::directory_iterator it(folder), end; it != end; ++it) {
    if (boost::filesystem::is_regular_file(it->path())) files[it->path().filename().string()] = readFile(it->path().string());
  }
  return files;
}

// The temporary file waiting for `path`, empty when there is none.
std::string temporaryOf(const std::string& folder, const std::string& name) {
  for (boost::filesystem::directory_iterator it(folder), end; it != end; ++it) {
    const std::string file = it->path().filename().string();
    if (leftoverKind(file) == LeftoverKind::kTemporary && leftoverOwner(file) == name) return it->path().string();
  }
  return "";
}

TEST(LeftoverNames, AreTheStagingPatternsAndNothingElse) {
  const std::vector<std::tuple<std::string, LeftoverKind, std::string>> cases = {
      {"map.pcd.tmp-a1B2c3", LeftoverKind::kTemporary, "map.pcd"},
      {"L1.png.tmp-ZZZZZZ", LeftoverKind::kTemporary, "L1.png"},
      {"L1.yaml.prev-000000", LeftoverKind::kBackup, "L1.yaml"},
      {"a.tmp-b.tmp-abcdef", LeftoverKind::kTemporary, "a.tmp-b"},
      {".tmp-abcdef", LeftoverKind::kNone, ""},  // it stands for no file
      {"map.pcd.tmp-abcde", LeftoverKind::kNone, ""},
      {"map.pcd.tmp-abcdefg", LeftoverKind::kNone, ""},
      {"map.pcd.tmp-abc.ef", LeftoverKind::kNone, ""},
      {"map.pcd.tmp_abcdef", LeftoverKind::kNone, ""},
      {"map.pcd", LeftoverKind::kNone, ""},
      {"notes.prev-1", LeftoverKind::kNone, ""},
  };
  for (const auto& [name, kind, owner] : cases) {
    EXPECT_EQ(leftoverKind(name), kind) << name;
    EXPECT_EQ(leftoverOwner(name), owner) << name;
  }
}

class StagedOutputsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a", "b", "c"}) writeFile(dir.file(name), std::string("old ") + name);
  }
  void stageAll(StagedOutputs& outputs, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      const std::string content = "new " + name;
      ASSERT_TRUE(outputs.stage(dir.file(name), content.data(), content.size()));
    }
  }
  TempDir dir;
};

TEST_F(StagedOutputsTest, CommitReplacesEveryFileAndLeavesNothingElse) {
  StagedOutputs outputs;
  stageAll(outputs, {"a", "b", "c", "d"});
  ASSERT_TRUE(outputs.commit());
  const std::map<std::string, std::string> expected = {{"a", "new a"}, {"b", "new b"}, {"c", "new c"}, {"d", "new d"}};
  EXPECT_EQ(contents(dir.path()), expected);
}

// Whichever file cannot be put in place, and at which step, the folder ends
// as it was: the old files, and no new, temporary or moved-aside one.
TEST_F(StagedOutputsTest, AFailedCommitPutsEveryOldFileBack) {
  struct Case {
    std::string name;
    std::string sabotaged;
    bool temporary_lost;  // else a directory takes the final path's place
    std::string error;
  };
  const std::vector<Case> cases = {
      {"the first file's temporary lost", "a", true, "cannot replace " + dir.file("a") + " (No such file"},
      {"the middle file's temporary lost", "b", true, "cannot replace " + dir.file("b") + " (No such file"},
      {"the last file's temporary lost", "d", true, "cannot replace " + dir.file("d") + " (No such file"},
      {"a directory where the last old file stood", "c", false, "cannot move " + dir.file("c") + " aside ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    boost::filesystem::remove_all(dir.file("c"));
    boost::filesystem::remove(dir.file("d"));
    SetUp();
    StagedOutputs outputs;
    stageAll(outputs, {"a", "b", "c", "d"});  // d is new: no old file stands there
    std::map<std::string, std::string> before = contents(dir.path());
    if (c.temporary_lost) {
      ASSERT_EQ(::unlink(temporaryOf(dir.path(), c.sabotaged).c_str()), 0);
    } else {
      boost::filesystem::remove(dir.file(c.sabotaged));
      ASSERT_TRUE(boost::filesystem::create_directories(dir.file(c.sabotaged + "/inside")));
    }
    before = contents(dir.path());
    for (auto it = before.begin(); it != before.end();) {
      it = leftoverKind(it->first) == LeftoverKind::kNone ? std::next(it) : before.erase(it);
    }
    std::string error;
    EXPECT_FALSE(outputs.commit(&error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_NE(error.find("every earlier output is as it was"), std::string::npos) << error;
    EXPECT_EQ(contents(dir.path()), before);
  }
}

// More files wait at once than any fixed table of them would hold.
TEST_F(StagedOutputsTest, ThousandsOfFilesWaitAtOnce) {
  StagedOutputs outputs;
  constexpr int kFiles = 4200;
  for (int i = 0; i < kFiles; ++i) {
    std::string error;
    ASSERT_TRUE(outputs.stage(dir.file("F" + std::to_string(i)), "x", 1, &error)) << error;
  }
  ASSERT_TRUE(outputs.commit());
  EXPECT_EQ(contents(dir.path()).size(), kFiles + 3u);
}

TEST_F(StagedOutputsTest, StaleLeftoversAreRemovedOrPutBack) {
  writeFile(dir.file("a.tmp-Ab12Cd"), "half written");
  writeFile(dir.file("b.prev-Xy98Zw"), "older b");  // b was put in place: this copy is stale
  writeFile(dir.file("lost.prev-Qq11Rr"), "old lost");  // killed before its new file was in
  writeFile(dir.file("notes.tmp-1"), "the user's");
  ASSERT_TRUE(boost::filesystem::create_directories(dir.file("folder.tmp-abcdef")));
  const std::vector<std::string> done = removeStaleTemporaries(dir.path());
  const std::vector<std::string> expected = {"removed " + dir.file("a.tmp-Ab12Cd"), "removed " + dir.file("b.prev-Xy98Zw"),
                                             "put back " + dir.file("lost") + " from " + dir.file("lost.prev-Qq11Rr")};
  EXPECT_EQ(done, expected);
  const std::map<std::string, std::string> left = {
      {"a", "old a"}, {"b", "old b"}, {"c", "old c"}, {"lost", "old lost"}, {"notes.tmp-1", "the user's"}};
  EXPECT_EQ(contents(dir.path()), left);
}

TEST(FolderLockTest, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
  TempDir dir;
  FolderLock first, second;
  ASSERT_TRUE(first.acquire(dir.path()));
  std::string error;
  EXPECT_FALSE(second.acquire(dir.path(), &error));
  EXPECT_NE(error.find("the output folder " + dir.path() + " is in use by another map_generator run"), std::string::npos)
      << error;
  first.release();
  EXPECT_TRUE(second.acquire(dir.path(), &error)) << error;
}

TEST(FolderLockTest, TheRefusalNamesTheProcessHoldingTheFolder) {
  TempDir dir;
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    FolderLock lock;
    const char held = lock.acquire(dir.path()) ? 'y' : 'n';
    if (::write(ready[1], &held, 1) != 1) ::_exit(1);
    char ignored;
    if (::read(done[0], &ignored, 1) < 0) ::_exit(1);
    ::_exit(0);
  }
  char held = 0;
  ASSERT_EQ(::read(ready[0], &held, 1), 1);
  EXPECT_EQ(held, 'y');
  FolderLock lock;
  std::string error;
  EXPECT_FALSE(lock.acquire(dir.path(), &error));
  EXPECT_NE(error.find("(process " + std::to_string(holder) + ")"), std::string::npos) << error;
  ASSERT_EQ(::write(done[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(holder, &status, 0), holder);
  EXPECT_TRUE(lock.acquire(dir.path(), &error)) << "a holder that ended keeps nothing: " << error;
}

TEST(EnsureDirectoryTest, TellsWhyAFolderCannotBeMade) {
  TempDir dir;
  writeFile(dir.file("file"), "");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "the path is empty"},
      {dir.file("file/maps"), "Not a directory"},
  };
  for (const auto& [path, reason] : cases) {
    std::string error;
    EXPECT_FALSE(ensureDirectory(path, &error)) << path;
    EXPECT_NE(error.find(reason), std::string::npos) << path << ": " << error;
  }
  std::string error;
  EXPECT_TRUE(ensureDirectory(dir.file("new/maps"), &error)) << error;
  EXPECT_TRUE(ensureDirectory(dir.file("file"), &error)) << "an existing entry is left to the writers";
}

}  // namespace
