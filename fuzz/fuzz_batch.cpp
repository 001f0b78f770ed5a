// The fuzz target of the batch reader: a batch of inputs gives, for each, the
// outcome a single load of it gives.
//
// The batch is the input itself and three cuts of it (at a quarter, half and
// three quarters) that keep its last 12 bytes, so that a file's footer stays
// on and the parser goes past the container check. They are read by two
// workers with room for two outcomes and one queued input, so workers wait on
// the consumer; the workers parse the inputs of even size and leave the others
// to the consumer, as they leave a small file read into memory. Each outcome is
// compared with driver::load_records of the same bytes on the calling thread,
// whole records (samples bit for bit) or the failure's kind and message. A
// difference aborts, so the fuzzer keeps the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "batch/reader.h"
#include "records.h"

namespace {

std::string describe(const quarn::batch::Outcome& o) {
  if (!o) return (o.failure_kind() == quarn::FailureKind::Io ? "Io: " : "Format: ") + o.error();
  std::string out = quarn_test::describe(o->header) + quarn_test::describe(o->values);
  for (const auto* list : {&o->sweeps, &o->traces})
    for (const auto& s : *list) out += " " + s.name + "=" + quarn_test::describe(s.series);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string whole(reinterpret_cast<const char*>(data), size);
  const std::size_t tail = size < 12 ? size : 12;
  std::vector<std::string> inputs{whole};
  for (std::size_t k = 1; k < 4; ++k)
    inputs.push_back(whole.substr(0, (size - tail) * k / 4) + whole.substr(size - tail));

  // The caller loads inputs too while it would wait, as the package's reader
  // does; and the workers leave every other input to the caller unparsed, as
  // they leave a small file.
  using quarn::batch::Input;
  quarn::batch::Reader reader(
      2, 2, 1,
      [](const Input& input) -> std::variant<quarn::batch::Outcome, Input> {
        if (std::get<quarn::Bytes>(input).size() % 2 == 1) return input;
        return quarn::batch::load(input);
      },
      quarn::batch::load_if_small);
  std::size_t submitted = 0;
  for (const std::string& input : inputs) {
    while (submitted < inputs.size() && reader.room() > 0) {
      const std::string& next = inputs[submitted++];
      if (!reader.submit(quarn::Bytes(reinterpret_cast<const std::byte*>(next.data()), next.size())))
        std::abort();
    }
    std::optional<quarn::batch::Outcome> got;
    while (!got) got = reader.next(std::chrono::seconds(1));
    const quarn::Bytes bytes(reinterpret_cast<const std::byte*>(input.data()), input.size());
    const std::string want = describe(quarn::driver::load_records(bytes, 1));
    if (describe(*got) != want) {
      std::fprintf(stderr, "fuzz_batch: the batch's outcome differs from a single load\n");
      std::abort();
    }
  }
  return 0;
}
