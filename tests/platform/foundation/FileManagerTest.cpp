#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "platform/foundation/NSFileHandle.h"
#include "platform/foundation/NSFileManager.h"

namespace plat {
namespace {

class FileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("LUMORA_TEST_OUTPUT");
    std::string root = base ? base : "/tmp";
    fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(root, true);
    std::string templ = root + "/files-XXXXXX";
    ASSERT_TRUE(mkdtemp(templ.data()));
    dir_ = templ;
  }
  void TearDown() override { fm().removeItemAtPathError(dir_); }
  static NSFileManager& fm() { return NSFileManager::defaultManager(); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  void write(const std::string& name, const std::string& text) {
    ASSERT_TRUE(writeDataToFile(Data::fromString(text), path(name), NSDataWritingAtomic));
  }
  std::string read(const std::string& name) {
    auto d = dataWithContentsOfFile(path(name));
    return d ? d->toString() : "<missing>";
  }
  std::string dir_;
};

TEST_F(FileManagerTest, MoveAndCopyRefuseAnExistingDestination) {
  write("a", "alpha");
  write("b", "beta");
  NSErrorRef error;
  EXPECT_FALSE(fm().moveItemAtPathToPathError(path("a"), path("b"), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), NSFileWriteFileExistsError);
  EXPECT_EQ(read("a"), "alpha");
  EXPECT_EQ(read("b"), "beta");
  error.reset();
  EXPECT_FALSE(fm().copyItemAtPathToPathError(path("a"), path("b"), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), NSFileWriteFileExistsError);
  EXPECT_EQ(read("b"), "beta");

  EXPECT_TRUE(fm().moveItemAtPathToPathError(path("a"), path("c")));
  EXPECT_FALSE(fm().fileExistsAtPath(path("a")));
  EXPECT_EQ(read("c"), "alpha");

  // Folders copy as whole trees, links as links.
  ASSERT_TRUE(
      fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(path("tree/sub"), true));
  write("tree/sub/leaf", "leaf");
  ASSERT_EQ(symlink("sub/leaf", path("tree/link").c_str()), 0);
  EXPECT_TRUE(fm().copyItemAtPathToPathError(path("tree"), path("copy")));
  EXPECT_EQ(read("copy/sub/leaf"), "leaf");
  EXPECT_EQ(fm().attributesOfItemAtPathError(path("copy/link"))[NSFileType],
            Value(NSFileTypeSymbolicLink));

  // A missing source fails and creates nothing.
  error.reset();
  EXPECT_FALSE(fm().moveItemAtPathToPathError(path("nope"), path("d"), &error));
  EXPECT_EQ(error->code(), NSFileNoSuchFileError);
  EXPECT_FALSE(fm().fileExistsAtPath(path("d")));
}

TEST_F(FileManagerTest, MoveAcrossFileSystemsCopiesThenDeletes) {
  struct stat here, shm;
  if (stat(dir_.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  std::string other = "/dev/shm/files-move-XXXXXX";
  ASSERT_TRUE(mkdtemp(other.data()));
  ASSERT_TRUE(writeDataToFile(Data::fromString("far"), other + "/f", 0));
  ASSERT_TRUE(fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(
      other + "/tree/sub", true));
  ASSERT_TRUE(writeDataToFile(Data::fromString("leaf"), other + "/tree/sub/leaf", 0));

  EXPECT_TRUE(fm().moveItemAtPathToPathError(other + "/f", path("f")));
  EXPECT_TRUE(fm().moveItemAtPathToPathError(other + "/tree", path("tree")));
  EXPECT_EQ(read("f"), "far");
  EXPECT_EQ(read("tree/sub/leaf"), "leaf");
  EXPECT_TRUE(fm().contentsOfDirectoryAtPathError(other).empty());
  // The destination check holds across file systems too.
  ASSERT_TRUE(writeDataToFile(Data::fromString("again"), other + "/f", 0));
  NSErrorRef error;
  EXPECT_FALSE(fm().moveItemAtPathToPathError(other + "/f", path("f"), &error));
  EXPECT_EQ(error->code(), NSFileWriteFileExistsError);
  EXPECT_EQ(read("f"), "far");
  fm().removeItemAtPathError(other);
}

TEST_F(FileManagerTest, FoldersRemovalAndListings) {
  std::string deep = path("x/y/z");
  EXPECT_TRUE(fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(deep, true));
  EXPECT_TRUE(fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(deep, true));
  NSErrorRef error;
  EXPECT_FALSE(fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(deep, false, {},
                                                                                    &error));
  EXPECT_EQ(error->code(), NSFileWriteFileExistsError);
  // A file in the way is not a folder.
  write("file", "f");
  error.reset();
  EXPECT_FALSE(fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(
      path("file/sub"), true, {}, &error));
  EXPECT_TRUE(error);

  write("x/b", "");
  write("x/.hidden", "");
  write("x/A", "");
  EXPECT_EQ(fm().contentsOfDirectoryAtPathError(path("x")),
            (std::vector<std::string>{".hidden", "A", "b", "y"}));
  error.reset();
  EXPECT_TRUE(fm().contentsOfDirectoryAtPathError(path("none"), &error).empty());
  EXPECT_EQ(error->code(), NSFileReadNoSuchFileError);

  EXPECT_TRUE(fm().removeItemAtPathError(path("x")));
  EXPECT_FALSE(fm().fileExistsAtPath(path("x")));
  error.reset();
  EXPECT_FALSE(fm().removeItemAtPathError(path("x"), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), NSFileNoSuchFileError);
  EXPECT_EQ(error->userInfo()[NSFilePathErrorKey], Value(path("x")));
}

// A NUL byte inside a path would make the system act on the text before it: every operation
// refuses such a path and touches nothing.
TEST_F(FileManagerTest, APathWithANulByteIsRefusedNotCutShort) {
  ASSERT_TRUE(
      fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(path("keep"), false));
  write("keep/file", "kept");
  const std::string nul("\0", 1);
  const std::string cut = path("keep") + nul + "x";  // the system would see ".../keep"
  const std::string parent = path("keep") + "/.." + nul;
  auto invalid = [](const NSErrorRef& e, int64_t code) {
    return e && e->domain() == NSCocoaErrorDomain && e->code() == code;
  };
  NSErrorRef error;
  EXPECT_FALSE(fm().removeItemAtPathError(cut, &error));
  EXPECT_TRUE(invalid(error, NSFileWriteInvalidFileNameError));
  EXPECT_FALSE(fm().removeItemAtPathError(parent));
  EXPECT_FALSE(fm().fileExistsAtPath(cut));
  EXPECT_FALSE(fm().isReadableFileAtPath(cut));
  EXPECT_FALSE(fm().isWritableFileAtPath(cut));
  EXPECT_FALSE(fm().createDirectoryAtPathWithIntermediateDirectoriesAttributesError(
      path("made") + nul + "x", true));
  EXPECT_FALSE(fm().createFileAtPathContentsAttributes(path("new") + nul, Data::fromString("n")));
  error.reset();
  EXPECT_FALSE(writeDataToFile(Data::fromString("n"), path("keep/file") + nul + "2", 0, &error));
  EXPECT_TRUE(invalid(error, NSFileWriteInvalidFileNameError));
  error.reset();
  EXPECT_FALSE(dataWithContentsOfFile(path("keep/file") + nul, &error).has_value());
  EXPECT_TRUE(invalid(error, NSFileReadInvalidFileNameError));
  EXPECT_FALSE(fm().contentsAtPath(path("keep/file") + nul).has_value());
  EXPECT_TRUE(fm().contentsOfDirectoryAtPathError(cut).empty());
  EXPECT_TRUE(fm().attributesOfItemAtPathError(cut).empty());
  EXPECT_FALSE(fm().setAttributesOfItemAtPathError({{NSFilePosixPermissions, 0}}, cut));
  EXPECT_FALSE(fm().moveItemAtPathToPathError(cut, path("moved")));
  EXPECT_FALSE(fm().moveItemAtPathToPathError(path("keep/file"), path("moved") + nul + "x"));
  EXPECT_FALSE(fm().copyItemAtPathToPathError(cut, path("copied")));
  EXPECT_FALSE(fm().copyItemAtPathToPathError(path("keep/file"), path("copied") + nul));
  EXPECT_FALSE(fm().setExtendedAttribute(cut, "a", Data::fromString("v")));
  EXPECT_FALSE(fm().setExtendedAttribute(path("keep"), "a" + nul + "b", Data::fromString("v")));
  EXPECT_FALSE(fm().extendedAttribute(cut, "a").has_value());
  EXPECT_FALSE(fm().removeExtendedAttribute(cut, "a"));

  EXPECT_EQ(read("keep/file"), "kept");
  EXPECT_EQ(fm().contentsOfDirectoryAtPathError(dir_), std::vector<std::string>{"keep"});
  EXPECT_EQ(fm().contentsOfDirectoryAtPathError(path("keep")), std::vector<std::string>{"file"});
}

TEST_F(FileManagerTest, AtomicReplaceKeepsTheOldFileWhenTheWriteFails) {
  write("settings", "old contents");
  // Let the process write at most 64 KiB per file, then write more than that.
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {64 * 1024, RLIM_INFINITY};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  Data big(std::vector<uint8_t>(256 * 1024, 'x'));
  NSErrorRef error;
  EXPECT_FALSE(writeDataToFile(big, path("settings"), NSDataWritingAtomic, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), NSFileWriteOutOfSpaceError);
  EXPECT_EQ(read("settings"), "old contents");
  // No temporary file is left behind.
  EXPECT_EQ(fm().contentsOfDirectoryAtPathError(dir_), std::vector<std::string>{"settings"});
  EXPECT_FALSE(fm().createFileAtPathContentsAttributes(path("settings"), big));
  EXPECT_EQ(read("settings"), "old contents");

  // A successful replace swaps the whole file and keeps its permissions.
  ASSERT_EQ(chmod(path("settings").c_str(), 0600), 0);
  EXPECT_TRUE(writeDataToFile(Data::fromString("new"), path("settings"), NSDataWritingAtomic));
  EXPECT_EQ(read("settings"), "new");
  EXPECT_EQ(fm().attributesOfItemAtPathError(path("settings"))[NSFilePosixPermissions],
            Value(0600));
}

TEST_F(FileManagerTest, ExclusiveCreateReportsExistingFile) {
  for (unsigned options : {0u, unsigned{NSDataWritingAtomic}}) {
    std::string name = "once" + std::to_string(options);
    EXPECT_TRUE(writeDataToFile(Data::fromString("first"), path(name),
                                options | NSDataWritingWithoutOverwriting));
    NSErrorRef error;
    EXPECT_FALSE(writeDataToFile(Data::fromString("second"), path(name),
                                 options | NSDataWritingWithoutOverwriting, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 516);
    EXPECT_EQ(read(name), "first");
  }
  EXPECT_EQ(fm().contentsOfDirectoryAtPathError(dir_).size(), 2u);
  NSErrorRef error;
  EXPECT_FALSE(dataWithContentsOfFile(path("missing"), &error));
  EXPECT_EQ(error->code(), NSFileReadNoSuchFileError);
  // A named pipe with no writer is refused at once instead of blocking the reader.
  ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
  EXPECT_FALSE(dataWithContentsOfFile(path("pipe"), &error));
  // Nor written: without a reader the writer would wait, with one the bytes would go to it.
  int reader = ::open(path("pipe").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_FALSE(writeDataToFile(Data::fromString("x"), path("pipe"), 0, &error));
  ::close(reader);
  EXPECT_FALSE(writeDataToFile(Data(), path("no/folder/file"), NSDataWritingAtomic, &error));
  EXPECT_EQ(error->code(), NSFileNoSuchFileError);
}

TEST_F(FileManagerTest, AttributesAndExtendedAttributes) {
  write("f", "12345");
  Dictionary attrs = fm().attributesOfItemAtPathError(path("f"));
  EXPECT_EQ(attrs[NSFileSize], Value(5));
  EXPECT_EQ(attrs[NSFileType], Value(NSFileTypeRegular));
  ASSERT_TRUE(attrs[NSFileCreationDate].isDate());
  EXPECT_LE(*attrs[NSFileCreationDate].date(), *attrs[NSFileModificationDate].date());

  NSDate when = NSDate::fromSeconds1970(1600000000, 250000000);
  Dictionary set;
  set.set(NSFileModificationDate, Value(when));
  set.set(NSFileProtectionKey, Value("NSFileProtectionNone"));
  EXPECT_TRUE(fm().setAttributesOfItemAtPathError(set, path("f")));
  EXPECT_EQ(fm().attributesOfItemAtPathError(path("f"))[NSFileModificationDate], Value(when));
  NSErrorRef error;
  EXPECT_TRUE(fm().attributesOfItemAtPathError(path("none"), &error).empty());
  EXPECT_EQ(error->code(), NSFileReadNoSuchFileError);

  error.reset();
  if (!fm().setExtendedAttribute(path("f"), "app.archived", Data::fromString("1"), &error)) {
    GTEST_SKIP() << "no user extended attributes on this file system";
  }
  EXPECT_EQ(fm().extendedAttribute(path("f"), "app.archived"), Data::fromString("1"));
  // The name lives in the user name space, with or without the prefix given.
  EXPECT_EQ(fm().extendedAttribute(path("f"), "user.app.archived"), Data::fromString("1"));
  EXPECT_TRUE(fm().removeExtendedAttribute(path("f"), "app.archived"));
  EXPECT_FALSE(fm().extendedAttribute(path("f"), "app.archived"));
  EXPECT_TRUE(fm().removeExtendedAttribute(path("f"), "app.archived"));
}

TEST_F(FileManagerTest, FileHandleReadsWritesSeeksAndCloses) {
  write("h", "");
  auto h = NSFileHandle::fileHandleForUpdatingAtPath(path("h"));
  ASSERT_TRUE(h);
  EXPECT_TRUE(h->writeDataError(Data::fromString("hello world")));
  EXPECT_EQ(h->offsetInFile(), 11u);
  EXPECT_TRUE(h->seekToFileOffset(6));
  EXPECT_EQ(h->readDataOfLength(100).toString(), "world");
  EXPECT_TRUE(h->truncateFileAtOffset(5));
  EXPECT_EQ(h->seekToEndOfFile(), 5u);
  EXPECT_TRUE(h->synchronizeFile());
  h->closeFile();
  EXPECT_FALSE(h->writeDataError(Data::fromString("x")));
  EXPECT_TRUE(h->readDataToEndOfFile().empty());
  h->closeFile();
  EXPECT_EQ(read("h"), "hello");

  auto r = NSFileHandle::fileHandleForReadingAtPath(path("h"));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->readDataToEndOfFile().toString(), "hello");
  NSErrorRef error;
  EXPECT_FALSE(r->writeDataError(Data::fromString("x"), &error));
  EXPECT_TRUE(error);
  EXPECT_FALSE(NSFileHandle::fileHandleForWritingAtPath(path("absent")));
  EXPECT_FALSE(fm().fileExistsAtPath(path("absent")));
  // A NUL byte never lets a handle open the shorter path before it.
  const std::string cut = path("h") + std::string("\0x", 2);
  EXPECT_FALSE(NSFileHandle::fileHandleForReadingAtPath(cut));
  EXPECT_FALSE(NSFileHandle::fileHandleForUpdatingAtPath(cut));
}

}  // namespace
}  // namespace plat
