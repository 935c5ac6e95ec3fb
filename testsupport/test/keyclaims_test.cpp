// Key claims: a path whose ftok key bits another live claim or an existing
// set holds moves to a fresh inode (file or folder, content and mode kept); a
// claim ends with its owner, and one owner never hands two of its paths the
// same bits.
#include "keyclaims.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>

#include "tarn_test.h"

namespace {

using tarn::test::KeyClaims;
namespace fs = std::filesystem;

ino_t Inode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(KeyClaimsTest, APathWhoseKeyIsHeldElsewhereMovesToAKeyOfItsOwn) {
  tarn::test::TempDir dir;
  const std::string file = dir.path() + "/kestrel";
  const std::string link = dir.path() + "/twin";
  tarn::test::WriteFile(file, "program");
  ASSERT_EQ(chmod(file.c_str(), 0750), 0);
  ASSERT_EQ(::link(file.c_str(), link.c_str()), 0);
  fs::create_directories(dir.path() + "/bin/sub");

  std::optional<KeyClaims> first;
  first.emplace(dir.path() + "/.spare1");
  ASSERT_TRUE(first->claim(file)) << first->error();
  ASSERT_TRUE(first->claim(dir.path() + "/bin")) << first->error();
  ASSERT_TRUE(first->claim(file)) << "claiming one's own file again keeps it";
  const ino_t fileInode = Inode(file);

  {
    // The same file under another name, and the very folder: both held.
    KeyClaims second(dir.path() + "/.spare2");
    const ino_t folderInode = Inode(dir.path() + "/bin");
    ASSERT_TRUE(second.claim(link)) << second.error();
    ASSERT_TRUE(second.claim(dir.path() + "/bin")) << second.error();
    EXPECT_NE(Inode(link), fileInode);
    EXPECT_NE(ftok(link.c_str(), 1), ftok(file.c_str(), 1));
    EXPECT_EQ(tarn::test::ReadFile(link), "program");
    EXPECT_EQ(fs::status(link).permissions(), fs::status(file).permissions());
    EXPECT_NE(Inode(dir.path() + "/bin"), folderInode);
    EXPECT_TRUE(fs::is_directory(dir.path() + "/bin/sub")) << "the folder keeps what it held";
    EXPECT_EQ(Inode(file), fileInode) << "the first owner's file stays";
  }

  {
    // A set on the key already (one a dead test left, say) is in the way too.
    const std::string spare = dir.path() + "/.spare5";
    tarn::test::WriteFile(dir.path() + "/keyed", "");
    const ino_t before = Inode(dir.path() + "/keyed");
    const int set = semget(ftok((dir.path() + "/keyed").c_str(), 5), 1, IPC_CREAT | 0600);
    ASSERT_NE(set, -1);
    tarn::test::SysVGuard guard;
    guard.semaphore(set);
    KeyClaims third(spare);
    ASSERT_TRUE(third.claim(dir.path() + "/keyed")) << third.error();
    EXPECT_NE(Inode(dir.path() + "/keyed"), before);
  }

  {
    // A link keys on the file it names (lbin/heron names heron_32bit): that
    // file moves, the link stays a link.
    tarn::test::WriteFile(dir.path() + "/heron_32bit", "utility");
    ASSERT_EQ(symlink("heron_32bit", (dir.path() + "/heron").c_str()), 0);
    KeyClaims holder(dir.path() + "/.spare6");
    ASSERT_TRUE(holder.claim(dir.path() + "/heron_32bit")) << holder.error();
    const ino_t before = Inode(dir.path() + "/heron");
    KeyClaims other(dir.path() + "/.spare7");
    ASSERT_TRUE(other.claim(dir.path() + "/heron")) << other.error();
    EXPECT_TRUE(fs::is_symlink(dir.path() + "/heron"));
    EXPECT_NE(Inode(dir.path() + "/heron"), before);
    EXPECT_EQ(tarn::test::ReadFile(dir.path() + "/heron"), "utility");
  }

  // Once an owner is gone its keys are free again.
  ASSERT_EQ(::link(file.c_str(), (dir.path() + "/third").c_str()), 0);
  first.reset();
  KeyClaims later(dir.path() + "/.spare4");
  ASSERT_TRUE(later.claim(dir.path() + "/third")) << later.error();
  EXPECT_EQ(Inode(dir.path() + "/third"), fileInode);
}

}  // namespace
