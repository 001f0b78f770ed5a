// Replays inputs through the fuzz target without libFuzzer, so any compiler
// can build the harness and the test run can feed it the seed corpus and the
// saved findings:
//   quarn_fuzz_replay FILE_OR_DIR...
// Directories are read one level deep, in name order; hidden files and
// README files are passed over. Fails when an input cannot be read or when no
// input was found at all; a broken invariant aborts inside the target.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool is_input(const fs::path& p) {
  const std::string name = p.filename().string();
  return !name.starts_with(".") && !name.starts_with("README");
}

bool collect(const fs::path& arg, std::vector<fs::path>& out) {
  std::error_code ec;
  if (fs::is_directory(arg, ec)) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(arg, ec))
      if (entry.is_regular_file() && is_input(entry.path())) found.push_back(entry.path());
    if (ec) {
      std::fprintf(stderr, "replay: cannot list %s: %s\n", arg.c_str(), ec.message().c_str());
      return false;
    }
    std::sort(found.begin(), found.end());
    out.insert(out.end(), found.begin(), found.end());
    return true;
  }
  if (fs::is_regular_file(arg, ec)) {
    out.push_back(arg);
    return true;
  }
  std::fprintf(stderr, "replay: no such file or directory: %s\n", arg.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIR...\n", argv[0]);
    return 2;
  }
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i)
    if (!collect(argv[i], inputs)) return 1;
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs found\n");
    return 1;
  }
  std::size_t bytes = 0;
  for (const fs::path& p : inputs) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
      std::fprintf(stderr, "replay: cannot read %s\n", p.c_str());
      return 1;
    }
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", p.c_str(), data.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    bytes += data.size();
  }
  std::printf("replay: %zu inputs, %zu bytes, all passed\n", inputs.size(), bytes);
  return 0;
}
