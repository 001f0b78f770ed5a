// The corners of the core that files alone do not reach: the sample buffer's
// growth and limits, the thread helpers at their edges, a file larger than the
// read-whole limit that shrinks under its mapping, and load_records end to end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/bus_guard.h"
#include "driver/load.h"
#include "driver/mapped_file.h"
#include "reader/parallel.h"
#include "reader/sample_buffer.h"

namespace {

using quarn::SampleBuffer;

// Each step grows the buffer and says what it must then hold.
struct GrowStep {
  const char* what;
  std::uint64_t extra;
  bool exact;  // reserve_more_exact, else grow_for
  bool ok;
  std::size_t capacity;  // expected afterwards (0: do not check)
};

TEST(SampleBufferGrowth, KeepsItsSamplesAcrossEveryKindOfMemory) {
  constexpr std::size_t kMapDoubles = (std::size_t{1} << 20) / sizeof(double);
  const GrowStep steps[] = {
      {"empty buffer, nothing asked", 0, true, true, 0},
      {"room for nothing yet is still made", 0, false, true, 0},
      {"count that overflows the size", UINT64_MAX, true, false, 0},
      {"doubling count that overflows", UINT64_MAX / 2, false, false, 0},
      {"small, exact", 3, true, true, 3},
      {"small, doubling", 1, false, true, 6},
      {"malloc'd samples move into a mapping", kMapDoubles, true, true, 0},
      {"a mapping grows by mremap", kMapDoubles, false, true, 0},
  };
  SampleBuffer b;
  double next = 0;
  for (const GrowStep& s : steps) {
    SCOPED_TRACE(s.what);
    const bool ok = s.exact ? b.reserve_more_exact(s.extra) : b.grow_for(s.extra);
    ASSERT_EQ(ok, s.ok);
    if (s.capacity != 0) {
      EXPECT_EQ(b.capacity(), s.capacity);
    }
    if (!ok) continue;
    const std::size_t room = b.capacity() - b.size();
    ASSERT_GE(room, s.extra);
    for (std::uint64_t i = 0; i < s.extra; ++i) b.push_back(next++);
    for (std::size_t i = 0; i < b.size(); ++i) ASSERT_EQ(b[i], static_cast<double>(i));
  }
  EXPECT_GE(b.capacity(), 2 * kMapDoubles);

  b.truncate(b.size() + 1);  // longer than it is: no change
  EXPECT_EQ(b.size(), static_cast<std::size_t>(next));
  b.truncate(2);
  EXPECT_EQ(b.size(), 2u);
  SampleBuffer& self = b;
  b = std::move(self);  // a move onto itself keeps the samples
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[1], 1.0);
}

TEST(Threads, AvailableIsCappedAndRunParallelHandlesNoJobs) {
  EXPECT_EQ(quarn::Concurrency::available(1), 1u);
  const unsigned all = quarn::Concurrency::available(UINT_MAX);
  EXPECT_GE(all, 1u);
  EXPECT_LE(all, std::thread::hardware_concurrency() == 0 ? all : std::thread::hardware_concurrency());
  std::atomic<int> calls{0};
  quarn::run_parallel(0, nullptr, [&](std::size_t) { ++calls; });
  EXPECT_EQ(calls.load(), 0);
}

class LargeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "quarn_gaps_XXXXXX";
    fd_ = ::mkstemp(tmpl.data());
    ASSERT_GE(fd_, 0) << std::strerror(errno);
    path_ = tmpl;
  }
  void TearDown() override {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  void resize(std::size_t n) { ASSERT_EQ(::ftruncate(fd_, static_cast<off_t>(n)), 0); }

  std::string path_;
  int fd_ = -1;
};

// Past the read-whole limit a file is mapped: it then notices a shrink, and a
// read of a page the file no longer has is absorbed by the guard, as zeros.
TEST_F(LargeFile, MappedFileNoticesAShrinkAndTheGuardAbsorbsTheFault) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t size = quarn::MappedFile::kReadBytes + 4 * page;
  resize(size);
  ASSERT_EQ(::pwrite(fd_, "x", 1, static_cast<off_t>(size - 1)), 1);
  auto file = quarn::MappedFile::open(path_);
  ASSERT_TRUE(file) << file.error();
  EXPECT_FALSE(file->shrunk_to().has_value());
  EXPECT_EQ(file->bytes().size(), size);

  resize(page);
  EXPECT_EQ(file->shrunk_to(), std::optional<std::uint64_t>(page));
  quarn::BusGuard guard(file->bytes());
  std::byte seen{1};
  auto read_last = [&] { seen = static_cast<const volatile std::byte*>(file->bytes().data())[size - 1]; };
  std::thread helper([&] { guard.run(quarn::TaskRef(read_last)); });
  helper.join();
  EXPECT_EQ(seen, std::byte{0});
  ASSERT_TRUE(guard.fault_offset().has_value());
  EXPECT_GE(*guard.fault_offset(), page);
  EXPECT_LT(*guard.fault_offset(), size);
}

// load_records end to end: a malformed file's failure and a missing file's.
TEST_F(LargeFile, LoadRecordsPassesUpFormatAndOpenFailures) {
  const std::size_t size = quarn::MappedFile::kReadBytes + 1;
  resize(size);
  auto bad = quarn::driver::load_records(path_, 2);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.failure_kind(), quarn::FailureKind::Format);
  auto missing = quarn::driver::load_records(path_ + ".missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.failure_kind(), quarn::FailureKind::Io);
}

}  // namespace
