// Files, folders, held files and shortcuts, in a scratch folder of the
// double's file system or of the real one.
#include <gtest/gtest.h>

#include <string>

#include "app/log.h"
#include "contract/side.h"
#include "support/error_text.h"
#include "system/files.h"

namespace {

constexpr int kFileNotFound = 2;
constexpr int kPathNotFound = 3;
constexpr int kSharingViolation = 32;
constexpr int kAlreadyExists = 183;

class FilesContract : public ContractTest {
 protected:
  std::wstring Path(const std::wstring& name) const { return Side::Scratch() + L"\\" + name; }
  void Put(const std::wstring& name, std::string_view bytes = "x") const {
    ASSERT_TRUE(WriteFileBytes(Path(name), bytes));
  }
  std::string Read(const std::wstring& name) const {
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(Path(name), bytes));
    return bytes;
  }
};

std::string ReadHeld(const HeldFile& file) {
  std::string bytes;
  ReadHeldFile(file,
               [&](const uint8_t* data, size_t size) { bytes.append(reinterpret_cast<const char*>(data), size); });
  return bytes;
}

TEST_F(FilesContract, RemoveFileClearsReadOnlyIgnoresAMissingFileAndRefusesAHeldOne) {
  Put(L"read-only.txt");
  Side::SetReadOnly(Path(L"read-only.txt"));
  RemoveFile(Path(L"read-only.txt"));
  EXPECT_FALSE(PathExists(Path(L"read-only.txt")));
  RemoveFile(Path(L"never-there.txt"));
  Put(L"held.txt");
  const HeldFile held = HoldFile(Path(L"held.txt"));
  const ThrownError refused = CatchError([&] { RemoveFile(Path(L"held.txt")); });
  EXPECT_TRUE(refused.StartsWith("Unable to delete file \"")) << refused.text;
  EXPECT_EQ(refused.code, kSharingViolation);
  EXPECT_TRUE(PathExists(Path(L"held.txt")));
}

TEST_F(FilesContract, EnsureDirectoryCreatesOneLevelAndProbesTellFilesFromFolders) {
  EXPECT_EQ(EnsureDirectory(Path(L"sub")), 0u);
  EXPECT_EQ(EnsureDirectory(Path(L"sub")), 0u);  // existing: nothing happens
  EXPECT_TRUE(DirectoryExists(Path(L"sub")));
  EXPECT_EQ(EnsureDirectory(Path(L"a\\b")), 3u);  // parent missing: ERROR_PATH_NOT_FOUND, not created
  EXPECT_FALSE(PathExists(Path(L"a")));
  Put(L"file.txt");
  EXPECT_TRUE(PathExists(Path(L"file.txt")));
  EXPECT_FALSE(DirectoryExists(Path(L"file.txt")));
  EXPECT_EQ(EnsureDirectory(Path(L"file.txt")), 183u);  // ERROR_ALREADY_EXISTS
}

TEST_F(FilesContract, ContentAndModificationTimeRoundTripAndMissingFilesAreNotRead) {
  const std::string bytes("line\r\nnext\n\0tail\x1a end", 21);
  Put(L"data.bin", bytes);
  EXPECT_EQ(Read(L"data.bin"), bytes);
  std::string missing;
  EXPECT_FALSE(ReadFileBytes(Path(L"missing.bin"), missing));
  EXPECT_FALSE(WriteFileBytes(Path(L"no-folder\\data.bin"), bytes));
  FlushFile(Path(L"data.bin"), 1700000000);  // through the handle, kept by the rename the commit makes
  ASSERT_EQ(MoveFileWithFlags(Path(L"data.bin"), Path(L"moved.bin"), 9), 0u);
  EXPECT_EQ(GetFileModificationTime(Path(L"moved.bin")), 1700000000);
  EXPECT_EQ(GetFileModificationTime(Path(L"missing.bin")), 0);
  EXPECT_EQ(CatchError([&] { FlushFile(Path(L"missing.bin"), 5); }).code, kFileNotFound);
}

TEST_F(FilesContract, MoveReplacesOnlyWhenAskedAndReportsTheWindowsError) {
  Put(L"new.txt", "new");
  Put(L"old.txt", "old");
  EXPECT_EQ(MoveFileWithFlags(Path(L"new.txt"), Path(L"old.txt"), 0), static_cast<uint32_t>(kAlreadyExists));
  EXPECT_EQ(MoveFileWithFlags(Path(L"new.txt"), Path(L"old.txt"), kMoveReplaceExisting | kMoveWriteThrough), 0u);
  EXPECT_EQ(Read(L"old.txt"), "new");
  EXPECT_FALSE(PathExists(Path(L"new.txt")));
  EXPECT_EQ(MoveFileWithFlags(Path(L"gone.txt"), Path(L"x.txt"), 0), static_cast<uint32_t>(kFileNotFound));
  EXPECT_EQ(MoveFileWithFlags(Path(L"old.txt"), Path(L"no-folder\\x.txt"), 0), static_cast<uint32_t>(kPathNotFound));
}

// What was checked through a held file is what runs: nobody can write,
// replace, rename or delete it; readers are welcome.
TEST_F(FilesContract, HeldFileCannotBeWrittenReplacedMovedOrDeletedUntilReleased) {
  Put(L"setup.exe", "checked");
  Put(L"other.exe", "swapped");
  {
    const HeldFile held = HoldFile(Path(L"setup.exe"));
    EXPECT_EQ(ReadHeld(held), "checked");
    EXPECT_FALSE(WriteFileBytes(Path(L"setup.exe"), "written"));
    EXPECT_EQ(CatchError([&] { RemoveFile(Path(L"setup.exe")); }).code, kSharingViolation);
    EXPECT_NE(MoveFileWithFlags(Path(L"other.exe"), Path(L"setup.exe"), kMoveReplaceExisting), 0u);
    EXPECT_NE(MoveFileWithFlags(Path(L"setup.exe"), Path(L"moved.exe"), 0), 0u);
    EXPECT_EQ(Read(L"setup.exe"), "checked") << "readers are welcome";
    EXPECT_EQ(ReadHeld(held), "checked") << "each read starts at the beginning";
  }
  EXPECT_EQ(MoveFileWithFlags(Path(L"other.exe"), Path(L"setup.exe"), kMoveReplaceExisting), 0u);
  EXPECT_EQ(Read(L"setup.exe"), "swapped");
  const ThrownError missing = CatchError([&] { HoldFile(Path(L"missing.exe")); });
  EXPECT_TRUE(missing.StartsWith("Unable to open file \"")) << missing.text;
  EXPECT_EQ(missing.code, kFileNotFound);
}

// The folder delete takes what it can; a held file stays, with the folders
// that hold it, and the delete answers 32.
TEST_F(FilesContract, FolderDeleteRemovesNestedContentAndKeepsAHeldFile) {
  EnsureDirectory(Path(L"tree"));
  EnsureDirectory(Path(L"tree\\inner"));
  Put(L"tree\\inner\\deep.bin");
  Put(L"tree\\top.txt");
  EXPECT_EQ(DeleteDirectoryTree(Path(L"tree")), 0);
  EXPECT_FALSE(PathExists(Path(L"tree")));
  EXPECT_TRUE(DirectoryExists(Side::Scratch()));

  EnsureDirectory(Path(L"kept"));
  EnsureDirectory(Path(L"kept\\inner"));
  Put(L"kept\\a.dll");
  Put(L"kept\\inner\\b.dll");
  Put(L"kept\\z.exe");
  {
    const HeldFile held = HoldFile(Path(L"kept\\inner\\b.dll"));
    EXPECT_EQ(DeleteDirectoryTree(Path(L"kept")), kSharingViolation);
    EXPECT_TRUE(PathExists(Path(L"kept\\inner\\b.dll")));
  }
  EXPECT_EQ(DeleteDirectoryTree(Path(L"kept")), 0);
  EXPECT_FALSE(PathExists(Path(L"kept")));
}

TEST_F(FilesContract, ShortcutIsCreatedOverwrittenAndAnUnsavableOneReportsTheHresult) {
  Put(L"First.exe");
  Put(L"Second.exe");
  CreateShortcut(Path(L"First.exe"), Path(L"Valdrix.lnk"));
  EXPECT_EQ(Side::ShortcutTarget(Path(L"Valdrix.lnk")), Path(L"First.exe"));
  CreateShortcut(Path(L"Second.exe"), Path(L"Valdrix.lnk"));
  EXPECT_EQ(Side::ShortcutTarget(Path(L"Valdrix.lnk")), Path(L"Second.exe"));
  const ThrownError unsaved = CatchError([&] { CreateShortcut(Path(L"First.exe"), Path(L"no-folder\\Valdrix.lnk")); });
  EXPECT_TRUE(unsaved.StartsWith("Unable to save shell link file: error ")) << unsaved.text;
}

// A second name of another file, planted where the log goes, must not get
// the log's lines; an ordinary log keeps what earlier runs wrote.
TEST_F(FilesContract, PlantedSecondNameOfALogIsReplacedAndAnOrdinaryLogIsAppended) {
  SKIP_UNLESS_SIDE_CAN(HardLinks);
  Put(L"victim.ini", "[system]\n");
  Side::MakeHardLink(Path(L"Valdrix.Setup.log"), Path(L"victim.ini"));
  for (const char* line : {"first run", "second run"}) {
    SetupLog::OpenPath(Path(L"Valdrix.Setup.log"));
    SetupLog::Info(line);
    SetupLog::Close();
  }
  EXPECT_EQ(Read(L"victim.ini"), "[system]\n");
  const std::string log = Read(L"Valdrix.Setup.log");
  EXPECT_NE(log.find("first run"), std::string::npos) << log;
  EXPECT_NE(log.find("second run"), std::string::npos) << log;
}

// The report folders of an elevated run lie in the user's profile: while
// the chain is held, none of its folders can be moved to make room for a
// link. (The refusal of a link is an end-to-end scenario: under Wine only
// the host can make one.)
TEST_F(FilesContract, HeldFolderChainIsMadeUsableAndCannotBeMoved) {
  {
    const HeldFolders held = HoldFolders(Side::Scratch(), {L"Valdrix", L".sentry"});
    EXPECT_TRUE(held.link.empty());
    ASSERT_EQ(held.folders.size(), 3u);
    EXPECT_TRUE(WriteFileBytes(Path(L"Valdrix\\.sentry\\a.envelope"), "x"));
    EXPECT_NE(MoveFileWithFlags(Path(L"Valdrix"), Path(L"Moved"), 0), 0u);
    EXPECT_NE(MoveFileWithFlags(Path(L"Valdrix\\.sentry"), Path(L"Valdrix\\Moved"), 0), 0u);
  }
  EXPECT_EQ(MoveFileWithFlags(Path(L"Valdrix"), Path(L"Moved"), 0), 0u) << "released with the holder";
}

}  // namespace
