// The corners of the core that files alone do not reach: the sample buffer's
// growth and limits, the thread helpers at their edges, a file larger than the
// read-whole limit that shrinks under its mapping, load_records end to end,
// the batch reader's degenerate sizes and its orphan after fork, and the
// SIGBUS guard handing signals that are not its own to the handler before it,
// growth past the address space, and the batch caller's helper.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "batch/reader.h"
#include "driver/bus_guard.h"
#include "driver/load.h"
#include "driver/mapped_file.h"
#include "reader/parallel.h"
#include "reader/sample_buffer.h"
#include "types/cursor.h"
#include "types/datatype.h"

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
  for (const std::size_t jobs : {std::size_t{0}, std::size_t{1500}}) {  // none; more than helpers
    std::vector<std::atomic<int>> calls(jobs);
    quarn::run_parallel(jobs, nullptr, [&](std::size_t i) { ++calls[i]; });
    for (std::size_t i = 0; i < jobs; ++i) ASSERT_EQ(calls[i].load(), 1) << i;
  }
}

// Every enumerator prints by a name of its own (the messages name chunks and
// datatypes), and a cursor never seeks past the end of its bytes.
TEST(Names, EveryChunkAndDatatypeHasItsOwnName) {
  std::set<std::string_view> names;
  for (std::uint32_t v : {0u, 1u, 2u, 3u, 4u, 15u, 16u, 17u, 18u, 19u, 20u, 21u, 22u, 33u, 34u, 35u})
    EXPECT_TRUE(names.insert(quarn::name_of(static_cast<quarn::ChunkId>(v))).second) << v;
  for (unsigned v = 0; v <= static_cast<unsigned>(quarn::Datatype::Struct); ++v)
    EXPECT_TRUE(names.insert(quarn::name_of(static_cast<quarn::Datatype>(v))).second) << v;
  EXPECT_FALSE(names.contains("?"));  // kept for a number no case names:
  EXPECT_EQ(quarn::name_of(static_cast<quarn::ChunkId>(99)), "?");
  EXPECT_EQ(quarn::name_of(static_cast<quarn::Datatype>(99)), "?");
  const std::byte four[4] = {};
  quarn::Cursor cur(quarn::Bytes(four, 4));
  cur.seek(9);
  EXPECT_EQ(cur.pos(), 4u);
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

// The header alone, with and without the footer check.
TEST_F(LargeFile, LoadHeaderWithAndWithoutTheFooterCheck) {
  const std::string example = std::string(QUARN_SOURCE_DIR) + "/examples/ac.psfbin";
  for (const bool footer : {true, false}) {
    auto header = quarn::driver::load_header(example, footer);
    ASSERT_TRUE(header) << header.error();
    EXPECT_FALSE(header->empty());
  }
  // The same file made longer than its first page and footer (which are all
  // a HEADER needs) gives the same header read from those alone.
  std::ifstream in(example, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string longer = bytes.substr(0, bytes.size() - 12) + std::string(8192, '\0') +
                             bytes.substr(bytes.size() - 12);
  ASSERT_EQ(::pwrite(fd_, longer.data(), longer.size(), 0), static_cast<ssize_t>(longer.size()));
  for (const bool footer : {true, false}) {
    auto header = quarn::driver::load_header(path_, footer);
    ASSERT_TRUE(header) << header.error();
    EXPECT_EQ(header->size(), quarn::driver::load_header(example, footer)->size());
  }
  ASSERT_EQ(::pwrite(fd_, "no footer!!!", 12, static_cast<off_t>(longer.size() - 12)), 12);
  auto without = quarn::driver::load_header(path_, true);
  ASSERT_FALSE(without);
  EXPECT_EQ(without.error(), "footer magic 'Clarissa' not found (not a psfbin file?)");
  EXPECT_TRUE(quarn::driver::load_header(path_, false));
  for (std::size_t size : {std::size_t{100}, std::size_t{8192}}) {
    resize(0);
    resize(size);  // zeros: no footer, and an empty layout without a HEADER
    EXPECT_EQ(quarn::driver::load_header(path_, true).failure_kind(), quarn::FailureKind::Format);
    EXPECT_EQ(quarn::driver::load_header(path_, false).failure_kind(), quarn::FailureKind::Format);
  }
  for (const std::string& bad :
       {path_ + ".missing", ::testing::TempDir(), path_ + '\0', std::string("/dev/null")})
    EXPECT_EQ(quarn::driver::load_header(bad, true).failure_kind(), quarn::FailureKind::Io) << bad;
}

// A child of fork() ends with _exit; a coverage build writes its counters first.
extern "C" int __llvm_profile_write_file(void) __attribute__((weak));
[[noreturn]] void child_exit(bool ok) {
  if (__llvm_profile_write_file != nullptr) __llvm_profile_write_file();
  _exit(ok ? 0 : 1);
}

TEST(BatchReaderEdges, DegenerateSizesAndTheOrphanAfterFork) {
  auto* reader = new quarn::batch::Reader(
      0, 0, 0, [](const quarn::batch::Input&) -> quarn::batch::Outcome {
        return quarn::Failure{"never loaded"};
      });
  EXPECT_EQ(reader->workers(), 1u);
  EXPECT_EQ(reader->window(), 1u);
  EXPECT_EQ(reader->outstanding(), 0u);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const bool ok = reader->orphaned() && reader->room() == 0 && reader->outstanding() == 0 &&
                    !reader->submit(std::string("x")) && !reader->next(std::chrono::milliseconds(1)) &&
                    reader->stopped() && !reader->wait_room(std::chrono::milliseconds(1));
    reader->stop();
    delete reader;
    child_exit(ok);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  delete reader;
}

// The guard's handler is installed once per process, keeping the one before
// it: each case runs in a fresh process (a death test) with its own, and
// meets one SIGBUS that is not a fault of the guarded range. A handler before
// ends the child with 0; with none (or an ignored signal) the signal kills it.
enum class Before { Siginfo, Plain, Default, Ignored, SiginfoNull };
enum class Bus { SentGuarded, SentUnguarded, FaultBelow, FaultAbove };

void meet_bus_error(Before before, Bus bus) {
  struct sigaction mine {};
  sigemptyset(&mine.sa_mask);
  switch (before) {
    case Before::Siginfo:
      mine.sa_sigaction = [](int, siginfo_t*, void*) { child_exit(true); };
      mine.sa_flags = SA_SIGINFO;
      break;
    case Before::Plain: mine.sa_handler = [](int) { child_exit(true); }; break;
    case Before::Default: mine.sa_handler = SIG_DFL; break;
    case Before::Ignored: mine.sa_handler = SIG_IGN; break;
    case Before::SiginfoNull: mine.sa_flags = SA_SIGINFO; break;  // and no handler
  }
  sigaction(SIGBUS, &mine, nullptr);
  // Three pages of an empty file: touching any of them faults. The guard
  // covers the middle one.
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::string name = ::testing::TempDir() + "quarn_bus_XXXXXX";
  const int fd = ::mkstemp(name.data());
  ::unlink(name.c_str());
  auto* pages = static_cast<const std::byte*>(::mmap(nullptr, 3 * page, PROT_READ, MAP_SHARED, fd, 0));
  if (fd < 0 || pages == MAP_FAILED) child_exit(false);
  quarn::BusGuard guard(quarn::Bytes(pages + page, page));
  std::size_t at = 0;
  auto touch = [&] { (void)*static_cast<const volatile std::byte*>(pages + at); };
  auto send = [] { raise(SIGBUS); };
  switch (bus) {
    case Bus::SentGuarded: guard.run(quarn::TaskRef(send)); break;
    case Bus::SentUnguarded: std::thread(send).join(); break;  // a thread with no guard
    case Bus::FaultBelow: guard.run(quarn::TaskRef(touch)); break;
    case Bus::FaultAbove: at = 2 * page, guard.run(quarn::TaskRef(touch)); break;
  }
  child_exit(false);  // the signal went nowhere
}

TEST(BusGuardChain, SignalsNotOfTheRangeGoToTheHandlerBefore) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (Before before : {Before::Siginfo, Before::Plain, Before::Default, Before::Ignored,
                        Before::SiginfoNull}) {
    for (Bus bus : {Bus::SentGuarded, Bus::SentUnguarded, Bus::FaultBelow, Bus::FaultAbove}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(before)) + "/" + std::to_string(static_cast<int>(bus)));
      if (before == Before::Siginfo || before == Before::Plain)
        EXPECT_EXIT(meet_bus_error(before, bus), ::testing::ExitedWithCode(0), "");
      else
        EXPECT_EXIT(meet_bus_error(before, bus), ::testing::KilledBySignal(SIGBUS), "");
    }
  }
}

// A handler installed after the guard's first use (as faulthandler.enable()
// after a first read): the next guard puts the guard's handler back, whose
// faults it absorbs, and a fault outside it goes to the later handler. That
// one may exit, or call the handler it displaced (the guard's) back, which
// must then leave the signal to the default action rather than loop.
enum class Later { Exits, CallsBack };
const std::byte* g_guarded_page = nullptr;
struct sigaction g_displaced_by_later;

bool default_action_restored() {
  struct sigaction now {};
  return sigaction(SIGBUS, nullptr, &now) == 0 && now.sa_handler == SIG_DFL;
}

void later_calls_back(int sig, siginfo_t* info, void* context) {
  if (info->si_addr == g_guarded_page) child_exit(false);  // the guard's fault
  g_displaced_by_later.sa_sigaction(sig, info, context);
  child_exit(default_action_restored());
}

// Two pages of an empty file: touching either faults.
const std::byte* two_empty_pages() {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::string name = ::testing::TempDir() + "quarn_bus_XXXXXX";
  const int fd = ::mkstemp(name.data());
  ::unlink(name.c_str());
  auto* pages = static_cast<const std::byte*>(::mmap(nullptr, 2 * page, PROT_READ, MAP_SHARED, fd, 0));
  if (fd < 0 || pages == MAP_FAILED) child_exit(false);
  return pages;
}

void meet_later_handler(Later later) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::byte* pages = two_empty_pages();
  g_guarded_page = pages + page;
  { quarn::BusGuard first(quarn::Bytes(pages + page, page)); }
  struct sigaction mine {};
  sigemptyset(&mine.sa_mask);
  mine.sa_flags = SA_SIGINFO;
  mine.sa_sigaction = later == Later::Exits
                          ? [](int, siginfo_t* info, void*) { child_exit(info->si_addr != g_guarded_page); }
                          : &later_calls_back;
  sigaction(SIGBUS, &mine, &g_displaced_by_later);
  quarn::BusGuard guard(quarn::Bytes(pages + page, page));
  (void)*static_cast<const volatile std::byte*>(pages + page);
  if (guard.fault_offset() != std::optional<std::uint64_t>(0)) child_exit(false);
  (void)*static_cast<const volatile std::byte*>(pages);  // not guarded
  child_exit(false);  // the signal went nowhere
}

TEST(BusGuardChain, AHandlerInstalledLaterIsDisplacedAndStillChainedTo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(meet_later_handler(Later::Exits), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(meet_later_handler(Later::CallsBack), ::testing::ExitedWithCode(0), "");
}

// The guard's handler beside a sibling (the copy of the guard in another
// extension module), played here by a handler with the siblings' mask that
// owns the first of two pages: the sibling is asked about a fault first, and
// told to pass on one that neither owns; a sibling's questions to ours get
// ours's answers, and are never passed round again.
enum class Meet { SiblingsFault, NobodysFault, AskedIsMine, AskedIsNotMine, PassOnFromSibling,
                  PassOnToPrevious };
const std::byte* g_sibling_page = nullptr;

void fake_sibling(int, siginfo_t* info, void*) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  if (info->si_errno == quarn::BusGuardSiblings::kPassItOn) child_exit(true);
  if (info->si_errno != quarn::BusGuardSiblings::kIsItYours) child_exit(false);  // never installed
  if (info->si_addr != g_sibling_page) return;
  ::mmap(const_cast<std::byte*>(g_sibling_page), page, PROT_READ,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  info->si_errno = quarn::BusGuardSiblings::kAbsorbed;
}

// Calls the installed handler as a sibling would, asking `what`; the copy's answer.
int ask_installed(int what, const void* addr, int code) {
  struct sigaction now {};
  sigaction(SIGBUS, nullptr, &now);
  siginfo_t info{};
  info.si_signo = SIGBUS;
  info.si_code = code;
  info.si_errno = what;
  info.si_addr = const_cast<void*>(addr);
  now.sa_sigaction(SIGBUS, &info, nullptr);
  return info.si_errno;
}

void meet_sibling(Meet meet) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::byte* pages = two_empty_pages();
  g_sibling_page = pages;
  struct sigaction before {};
  sigemptyset(&before.sa_mask);
  if (meet == Meet::PassOnToPrevious) {  // a plain handler, then ours: no sibling
    before.sa_handler = [](int) { child_exit(true); };
  } else {
    sigaddset(&before.sa_mask, SIGBUS);
    sigaddset(&before.sa_mask, SIGXFSZ);
    before.sa_flags = SA_SIGINFO;
    before.sa_sigaction = &fake_sibling;
  }
  sigaction(SIGBUS, &before, nullptr);
  quarn::BusGuard guard(quarn::Bytes(pages + page, page));
  using S = quarn::BusGuardSiblings;
  switch (meet) {
    case Meet::SiblingsFault:
      (void)*static_cast<const volatile std::byte*>(pages);
      child_exit(!guard.fault_offset());  // absorbed by the sibling, not the guard
    case Meet::NobodysFault:
      raise(SIGBUS);  // the sibling is told to pass it on, and exits
      child_exit(false);
    case Meet::AskedIsMine:
      child_exit(ask_installed(S::kIsItYours, pages + page, BUS_ADRERR) == S::kAbsorbed &&
                 guard.fault_offset() == std::optional<std::uint64_t>(0));
    case Meet::AskedIsNotMine:
      child_exit(ask_installed(S::kIsItYours, pages, BUS_ADRERR) == S::kIsItYours &&
                 !guard.fault_offset());
    case Meet::PassOnFromSibling:  // ours knows nothing before the sibling: the default
      ask_installed(S::kPassItOn, pages, BUS_ADRERR);
      child_exit(default_action_restored());
    case Meet::PassOnToPrevious:
      ask_installed(S::kPassItOn, pages, BUS_ADRERR);
      child_exit(false);
  }
}

TEST(BusGuardChain, SiblingsAskEachOtherAndNeverRunInACircle) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (Meet meet : {Meet::SiblingsFault, Meet::NobodysFault, Meet::AskedIsMine,
                    Meet::AskedIsNotMine, Meet::PassOnFromSibling, Meet::PassOnToPrevious}) {
    SCOPED_TRACE(static_cast<int>(meet));
    EXPECT_EXIT(meet_sibling(meet), ::testing::ExitedWithCode(0), "");
  }
}

// Growth that the address space cannot hold fails cleanly, whether the
// samples move from malloc into a mapping or a mapping grows (in a child, under
// a limit on its address space).
TEST(SampleBufferGrowth, FailsCleanlyWithoutAddressSpace) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory needs more address space than the limit leaves";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "a sanitizer's shadow memory needs more address space than the limit leaves";
#endif
#endif
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    SampleBuffer moved, grown;
    bool ok = moved.reserve_more_exact(1000) && grown.reserve_more_exact(std::size_t{1} << 20);
    rlimit limit{};
    ok = ok && ::getrlimit(RLIMIT_AS, &limit) == 0;
    limit.rlim_cur = std::size_t{1} << 36;  // far below what is asked next, far above what is used
    ok = ok && ::setrlimit(RLIMIT_AS, &limit) == 0;
    const std::uint64_t huge = std::uint64_t{1} << 34;  // doubles: 128 GiB
    ok = ok && !moved.reserve_more_exact(huge) && moved.capacity() == 1000 &&
         !grown.reserve_more_exact(huge) && grown.capacity() == std::size_t{1} << 20;
    child_exit(ok);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The caller's helper loads small inputs as the workers would, and gives
// large files back opened (and opened ones back as they are). The workers'
// read_ahead leaves a file small enough to be read to the caller, read, and
// loads the rest; either way the outcome is load's.
TEST(BatchHelper, LoadsSmallInputsAndGivesLargeFilesBack) {
  namespace batch = quarn::batch;
  const std::string example = std::string(QUARN_SOURCE_DIR) + "/examples/ac.psfbin";
  std::ifstream in(example, std::ios::binary);
  const std::string small((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string large = std::string(batch::kHelpBytes + 1, '\0');
  const std::string big_path = ::testing::TempDir() + "quarn_help_large";
  std::ofstream(big_path, std::ios::binary).write(large.data(), static_cast<std::streamsize>(large.size()));
  auto bytes = [](const std::string& s) { return quarn::Bytes(reinterpret_cast<const std::byte*>(s.data()), s.size()); };
  const batch::Input inputs[] = {example, big_path, big_path + ".missing", bytes(small), bytes(large)};
  for (const batch::Input& input : inputs) {
    const batch::Outcome want = batch::load(input);
    auto ahead = batch::read_ahead(input);
    const bool read = std::holds_alternative<batch::Input>(ahead);
    EXPECT_EQ(read, &input == &inputs[0]) << "only the small file is left read to the caller";
    const batch::Outcome got = read ? batch::load(std::get<batch::Input>(ahead))
                                    : std::move(std::get<batch::Outcome>(ahead));
    ASSERT_EQ(got.has_value(), want.has_value());
    if (!want) {
      EXPECT_EQ(got.error(), want.error());
    } else {
      EXPECT_EQ(got->traces.size(), want->traces.size());
    }

    auto made = batch::load_if_small(batch::Input(input));
    if (auto* outcome = std::get_if<batch::Outcome>(&made)) {
      ASSERT_EQ(outcome->has_value(), want.has_value());
      if (!want) {
        EXPECT_EQ(outcome->error(), want.error());
      }
      continue;
    }
    // Given back: the large ones, the file opened; loading that gives the same.
    auto& back = std::get<batch::Input>(made);
    const batch::Outcome later = batch::load(back);
    ASSERT_FALSE(later);
    EXPECT_EQ(later.error(), want.error());
    auto again = batch::load_if_small(std::move(back));
    EXPECT_TRUE(std::holds_alternative<batch::Input>(again));
  }
  std::remove(big_path.c_str());
}

}  // namespace
