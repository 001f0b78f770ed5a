// One table row per TRACE or VALUE section: the state before, the section's
// bytes, and either the state after or the message. The section starts at
// offset kAt so every offset in a message is absolute and non-trivial; a
// sentinel word after the section shows where the reader stopped.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "byte_builder.h"
#include "reader/sections.h"
#include "records.h"

namespace quarn_test {

inline constexpr std::uint32_t kAt = 16;

enum class Reader { Trace, Empty, NonSwept, Simple, Windowed };

struct SectionCase {
  const char* label;
  Reader reader;
  std::function<void(quarn::ParseState&)> setup;  // may be empty
  std::function<void(ByteBuilder&)> build;        // the section, written at offset kAt
  std::string state;  // describe() of the state afterwards; checked on failure too when given
  std::string error;  // empty: the section must read
};
QUARN_TEST_PRINTS_LABEL(SectionCase)

inline quarn::Status read_section(const SectionCase& c, quarn::Cursor& cur, const quarn::TypeTable& types,
                                  quarn::ParseState& state, const quarn::Concurrency& concurrency) {
  using quarn::ValueSectionType;
  auto value = [&](ValueSectionType layout) {
    return quarn::parse_value_section(cur, types, state, layout, concurrency);
  };
  switch (c.reader) {
    case Reader::Trace: return quarn::parse_trace_section(cur, types, state);
    case Reader::Empty: return value(ValueSectionType::Empty);
    case Reader::NonSwept: return value(ValueSectionType::NonSwept);
    case Reader::Simple: return value(ValueSectionType::Simple);
    case Reader::Windowed: return value(ValueSectionType::Windowed);
  }
  return {};
}

// One thread, and the decoding split as finely as it goes: the outcome must
// not depend on it.
inline const quarn::Concurrency kConcurrencies[] = {
    quarn::Concurrency{},
    quarn::Concurrency{.threads = 5, .min_bytes_per_thread = 1},
};

inline void run_section_case(const SectionCase& c, const quarn::TypeTable& types) {
  ByteBuilder b;
  b.fill(kAt, 0xCC);
  c.build(b);
  const auto end = b.size();
  if (c.error.empty()) {
    b.u32(0xA5A5A5A5);
  }
  for (const quarn::Concurrency& concurrency : kConcurrencies) {
    SCOPED_TRACE("threads " + std::to_string(concurrency.threads));
    quarn::ParseState state;
    if (c.setup) c.setup(state);
    quarn::Cursor cur(b.bytes());
    ASSERT_TRUE(cur.skip(kAt));
    auto r = read_section(c, cur, types, state, concurrency);
    if (c.error.empty()) {
      ASSERT_TRUE(r) << r.error();
      EXPECT_EQ(cur.pos(), end);
    } else {
      ASSERT_FALSE(r) << describe(state);
      EXPECT_EQ(r.error(), c.error);
    }
    if (!c.state.empty()) {
      EXPECT_EQ(describe(state), c.state);
    }
  }
  // The lazy walk of a swept body fails where and as the read does.
  if (!c.error.empty() && (c.reader == Reader::Simple || c.reader == Reader::Windowed)) {
    quarn::ParseState state;
    if (c.setup) c.setup(state);
    state.lazy = std::make_unique<quarn::LazyRecord>();
    quarn::Cursor cur(b.bytes());
    ASSERT_TRUE(cur.skip(kAt));
    auto r = read_section(c, cur, types, state, quarn::Concurrency{});
    ASSERT_FALSE(r) << "lazy";
    EXPECT_EQ(r.error(), c.error) << "lazy";
  }
}

}  // namespace quarn_test
