#include "project/whole_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "project/error.h"
#include "support/error_of.h"
#include "support/temp_dir.h"

namespace {

using testing_support::ErrorOf;

std::string Bytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

TEST(ReadFileContentTest, ReturnsTheExactBytes) {
  testing_support::TempDir dir;
  std::string data = std::string("a\0b\r\n\xff", 6) + Bytes(70000);
  EXPECT_EQ(ReadFileContent(dir.Write("data.bin", data)), data);
  EXPECT_EQ(ReadFileContent(dir.Write("empty", "")), "");
}

TEST(ReadFileContentTest, MissingFileAndFolderAreOpenErrors) {
  testing_support::TempDir dir;
  std::string missing = dir.dir() + "missing.txt";
  EXPECT_EQ(ErrorOf([&] { ReadFileContent(missing); }),
            "Cannot open file \"" + missing + "\". No such file or directory");
  EXPECT_EQ(ErrorOf([&] { ReadFileContent(dir.dir()); }),
            "Cannot open file \"" + dir.dir() + "\". Is a directory");
}

TEST(ReadFileContentTest, ReadsAFileAnotherProcessHoldsOpenForWriting) {
  testing_support::TempDir dir;
  std::string path = dir.dir() + "growing.log";
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(release[1]);  // else the read below never sees the parent let go
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    bool ok = fd >= 0 && write(fd, "first part", 10) == 10;
    char signal = ok ? '1' : '0';
    (void)!write(ready[1], &signal, 1);
    (void)!read(release[0], &signal, 1);  // hold the file until the parent has read it
    _exit(0);
  }
  char signal = 0;
  ASSERT_EQ(read(ready[0], &signal, 1), 1);
  ASSERT_EQ(signal, '1') << "the writer could not open its file";
  EXPECT_EQ(ReadFileContent(path), "first part");
  close(release[1]);
  waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0]}) close(fd);
}

TEST(ReadFileContentTest, AFifoWithoutWriterReadsAsEmptyWithoutWaiting) {
  testing_support::TempDir dir;
  std::string fifo = dir.dir() + "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto read = std::async(std::launch::async, [&] { return ReadFileContent(fifo); });
  if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // lets the stuck read go
    read.wait();
    close(writer);
    FAIL() << "ReadFileContent waited for a writer of the FIFO";
  }
  EXPECT_EQ(read.get(), "");
}

TEST(ReadFilePiecesTest, PiecesJoinToTheWholeFile) {
  testing_support::TempDir dir;
  std::string data = Bytes((5u << 19) + 3);  // two and a half MiB and a little
  std::string path = dir.Write("data.bin", data);
  std::vector<size_t> sizes;
  std::string joined;
  ReadFilePieces(path, [&](std::string_view piece) {
    sizes.push_back(piece.size());
    joined.append(piece);
  });
  EXPECT_EQ(joined, data);
  EXPECT_EQ(sizes, (std::vector<size_t>{1u << 20, 1u << 20, (1u << 19) + 3}));

  // A read inside another's pieces leaves the outer one's bytes as they are.
  const std::string small = dir.Write("small.bin", Bytes(1000).substr(7));
  joined.clear();
  ReadFilePieces(path, [&](std::string_view piece) {
    ReadFilePieces(small, [](std::string_view) {});
    joined.append(piece);
  });
  EXPECT_EQ(joined, data);

  // The read's ends are told the file's stat data, taken again at the end: a
  // write during the read shows there.
  std::vector<off_t> sizes_seen;
  ReadFilePieces(
      small, [&](std::string_view) { AppendToFile(small, "x"); }, 1 << 20,
      [&](const struct stat& info) { sizes_seen.push_back(info.st_size); });
  EXPECT_EQ(sizes_seen, (std::vector<off_t>{993, 994}));

  int calls = 0;
  ReadFilePieces(dir.Write("empty", ""), [&](std::string_view) { ++calls; });
  EXPECT_EQ(calls, 0);
  EXPECT_NE(ErrorOf([&] { ReadFilePieces(dir.dir() + "missing", [](std::string_view) {}); }), "");
}

}  // namespace
