// Opening and mapping files, and the I/O messages.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "byte_builder.h"
#include "driver/load.h"
#include "driver/mapped_file.h"
#include "driver/parse.h"

namespace {

using quarn::MappedFile;

class MappedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "quarn_mapped_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr) << std::strerror(errno);
    dir_ = tmpl;
  }
  void TearDown() override {
    for (const auto& f : files_) ::unlink(f.c_str());
    for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) ::rmdir(it->c_str());
    ::rmdir(dir_.c_str());
  }

  std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::string path = dir_ + "/" + name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    files_.push_back(path);
    return path;
  }
  std::string subdir(const std::string& name) {
    std::string path = dir_ + "/" + name;
    EXPECT_EQ(::mkdir(path.c_str(), 0700), 0);
    dirs_.push_back(path);
    return path;
  }

  std::string dir_;
  std::vector<std::string> files_;
  std::vector<std::string> dirs_;
};

TEST_F(MappedFileTest, MissingFile) {
  const std::string path = dir_ + "/missing.psf";
  auto f = MappedFile::open(path);
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error(), "cannot open " + path + ": No such file or directory (os error 2)");
}

TEST_F(MappedFileTest, PathNotUtf8IsShownWithReplacementCharacters) {
  const std::string path = dir_ + "/bad\xFF\xC3.psf";
  auto f = MappedFile::open(path);
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error(), "cannot open " + dir_ + "/bad\xEF\xBF\xBD\xEF\xBF\xBD.psf: No such file or directory (os error 2)");
}

TEST_F(MappedFileTest, DirectoryOpensButCannotBeMapped) {
  const std::string path = subdir("results.psf");
  auto f = MappedFile::open(path);
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error(), "cannot mmap " + path + ": " + std::strerror(ENODEV) + " (os error 19)");
}

// A path with a NUL byte is refused before the system sees it: the part
// before the NUL names a file that exists and would open.
TEST_F(MappedFileTest, NulInPathRefused) {
  const std::string existing = write("real.psf", {1, 2, 3});
  const std::string path = existing + std::string("\0.other", 7);
  auto f = MappedFile::open(path);
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error(), "cannot open " + path + ": file name contained an unexpected NUL byte");
}

TEST_F(MappedFileTest, EmptyFileMapsAndIsTooSmall) {
  const std::string path = write("empty.psf", {});
  auto f = MappedFile::open(path);
  ASSERT_TRUE(f) << f.error();
  EXPECT_EQ(f->bytes().size(), 0u);
  auto parsed = quarn::driver::parse(f->bytes());
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error(), "file too small to be psfbin (0 bytes)");
}

TEST_F(MappedFileTest, MapsTheWholeFile) {
  quarn_test::ByteBuilder b = quarn_test::ByteBuilder::file(1280);
  b.footer();
  const std::string path = write("smallest.psf", b.vec());
  auto f = MappedFile::open(path);
  ASSERT_TRUE(f) << f.error();
  ASSERT_EQ(f->bytes().size(), b.size());
  EXPECT_EQ(std::memcmp(f->bytes().data(), b.vec().data(), b.size()), 0);
  auto parsed = quarn::driver::parse(f->bytes());
  ASSERT_TRUE(parsed) << parsed.error();
  EXPECT_EQ(parsed->layout, quarn::ValueSectionType::NonSwept);
}

// A small file read with `reuse` goes into a buffer of the stock, whatever its
// size, and the buffer goes back to the stock with the file: the next such
// file is read into the same memory, and each has its own bytes and size.
TEST_F(MappedFileTest, ReadBuffersAreReused) {
  const std::byte* last = nullptr;
  for (const std::size_t size :
       {std::size_t{700}, std::size_t{0}, MappedFile::kReadBytes, std::size_t{5}}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + size);
    const std::string path = write("reused" + std::to_string(size) + ".psf", bytes);
    auto f = MappedFile::open(path, /*reuse=*/true);
    ASSERT_TRUE(f) << f.error();
    EXPECT_FALSE(f->mapped());
    ASSERT_EQ(f->bytes().size(), size);
    EXPECT_TRUE(size == 0 || std::memcmp(f->bytes().data(), bytes.data(), size) == 0);
    if (last != nullptr) {
      EXPECT_EQ(f->bytes().data(), last);
    }
    last = f->bytes().data();
  }
  // Freed all at once, more buffers than the stock keeps: it keeps its most.
  {
    const std::string path = write("many.psf", {1, 2, 3});
    std::vector<MappedFile> open;
    for (std::size_t i = 0; i < MappedFile::kStockBuffers + 3; ++i) {
      auto f = MappedFile::open(path, /*reuse=*/true);
      ASSERT_TRUE(f) << f.error();
      open.push_back(std::move(*f));
    }
    EXPECT_EQ(MappedFile::stocked(), 0u);
  }
  EXPECT_EQ(MappedFile::stocked(), MappedFile::kStockBuffers);
}

// Cut inside its last page after it was mapped, a file reads as zeros up to
// that page's end instead of faulting: the footer is then missing, but the
// failure is the file's shrinking, where its data now ends.
TEST_F(MappedFileTest, FileCutInsideAPageAfterMappingIsReportedAsShrunk) {
  std::vector<std::uint8_t> bytes(MappedFile::kReadBytes + 8192, 0);
  std::memcpy(bytes.data() + bytes.size() - 12, "Clarissa", 8);
  const std::string path = write("cut.psf", bytes);
  auto f = MappedFile::open(path);
  ASSERT_TRUE(f) << f.error();
  const std::size_t cut = bytes.size() - 100;
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0);
  auto records = quarn::driver::load_records(*f, path, 1);
  ASSERT_FALSE(records);
  EXPECT_EQ(records.failure_kind(), quarn::FailureKind::Io);
  EXPECT_EQ(records.error(), "cannot read " + path +
                                 ": the file shrank while it was being read (no data at offset " +
                                 std::to_string(cut) + ")");
}

// Without its descriptor, a mapped file still tells a cut inside its last
// page, by its path, while the path names it; a file put in its place (the
// old one is then intact under the mapping) or a path gone is no cut.
TEST_F(MappedFileTest, WithoutItsDescriptorAShrinkIsToldByThePath) {
  std::vector<std::uint8_t> bytes(MappedFile::kReadBytes + 8192, 1);
  const std::string path = write("kept.psf", bytes);
  const std::string other = write("other.psf", bytes);
  const auto cut = static_cast<off_t>(bytes.size() - 100);
  enum class Then { Cut, Replaced, Removed };
  for (Then then : {Then::Cut, Then::Replaced, Then::Removed}) {
    SCOPED_TRACE(static_cast<int>(then));
    { std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                  static_cast<std::streamsize>(bytes.size())); }
    auto f = MappedFile::open(path);
    ASSERT_TRUE(f) << f.error();
    const MappedFile::Identity opened = f->identity();
    EXPECT_EQ(opened.size, bytes.size());
    f->drop_descriptor(path);
    switch (then) {
      case Then::Cut: ASSERT_EQ(::truncate(path.c_str(), cut), 0); break;
      case Then::Replaced:
        ASSERT_EQ(::truncate(other.c_str(), cut), 0);
        ASSERT_EQ(::link(other.c_str(), (path + ".new").c_str()), 0);
        ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
        break;
      case Then::Removed: ASSERT_EQ(::unlink(path.c_str()), 0); break;
    }
    EXPECT_EQ(f->shrunk_to(), then == Then::Cut ? std::optional<std::uint64_t>(cut) : std::nullopt);
    EXPECT_EQ(f->bytes()[0], std::byte{1});  // the mapping stays
    if (then != Then::Cut) ASSERT_EQ(::unlink(path.c_str()) == 0, then == Then::Replaced);
  }
}

// The descriptor is closed and the mapping released with the object: many
// opens in a row do not run out of descriptors.
TEST_F(MappedFileTest, ReleasesItsDescriptor) {
  const std::string path = write("x.psf", std::vector<std::uint8_t>(4096, 7));
  auto count_fds = [] {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
      while (::readdir(d) != nullptr) ++n;
      ::closedir(d);
    }
    return n;
  };
  const int before = count_fds();
  for (int i = 0; i < 100; ++i) {
    auto f = MappedFile::open(path);
    ASSERT_TRUE(f) << f.error();
    if (i % 2 == 0) {
      f->unmap();
      f->close();
    }
  }
  auto failing = MappedFile::open(subdir("d"));
  ASSERT_FALSE(failing);
  EXPECT_EQ(count_fds(), before);
}

}  // namespace
