// The data file of a split transient: its records walked and checked, the
// sweep and every trace rebuilt bit for bit from blocks of byte planes (newer
// generations) or from the one column record (the older generation).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/parallel.h"
#include "reader/sample_buffer.h"
#include "types/cursor.h"
#include "types/result.h"

namespace quarn::split {

// Which sibling the data file is: the suffix decides which generations belong.
enum class DataSuffix { Psfxl, Dat };

struct DecodedData {
  std::string generation;                  // "0.1", "1.1" or "1.4"
  std::uint64_t points = 0;                // n
  SampleBuffer sweep;                      // n doubles
  std::vector<SampleBuffer> traces;        // one per signal index, n doubles each
  std::vector<std::uint64_t> record_at;    // per signal index: the offset of its record
};

// Decodes a whole data file. `name` is the file as messages name it, `traces`
// the number N of traces the main file declares. Every failure is
// FailureKind::Format and is the one a walk decoding each record in file
// order meets first, however many threads `concurrency` allows.
Result<DecodedData> decode_data_file(Bytes data, const std::string& name, DataSuffix suffix,
                                     std::uint64_t traces, const Concurrency& concurrency = {});

}  // namespace quarn::split
