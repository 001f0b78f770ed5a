#include "reader/scalar.h"

namespace quarn {

Result<ScalarValue> read_scalar(Cursor& cur, Datatype type) {
  // LCOV_EXCL_BR_LINE: every Datatype has its case; none other comes from a tag
  switch (type) {
    case Datatype::None:
      return fail("value has datatype NONE");
    case Datatype::Array:
      return fail("array-typed values are not supported");
    case Datatype::Struct:
      return fail("nested struct values are not supported");
    case Datatype::Int8: {
      auto byte = cur.take(1);
      if (!byte) return pass_up(byte);
      QUARN_TRY(cur.skip(3));
      return ScalarValue{ScalarValue::Int{std::to_integer<std::int64_t>((*byte)[0])}};
    }
    case Datatype::Int32: {
      auto w = cur.read_u32();
      if (!w) return pass_up(w);
      return ScalarValue{ScalarValue::Int{std::int64_t{*w}}};
    }
    case Datatype::Float64: {
      auto f = cur.read_f64();
      if (!f) return pass_up(f);
      return ScalarValue{ScalarValue::Float{*f}};
    }
    case Datatype::Complex: {
      auto re = cur.read_f64();
      if (!re) return pass_up(re);
      auto im = cur.read_f64();
      if (!im) return pass_up(im);
      return ScalarValue{ScalarValue::Complex{*re, *im}};
    }
    case Datatype::String: {
      auto s = cur.read_string();
      if (!s) return pass_up(s);
      return ScalarValue{ScalarValue::String{std::move(*s)}};
    }
  }
  return fail("value has datatype NONE");  // unreachable: every enumerator is handled
}

Result<ScalarValue> read_struct_value(Cursor& cur, const StructMembers& members) {
  ScalarValue::Struct out{members, {}};
  out.values.reserve(members->size());
  for (const auto& m : *members) {
    auto value = read_scalar(cur, m.type);
    if (!value) return pass_up(value);
    out.values.push_back(std::move(*value));
  }
  return ScalarValue{std::move(out)};
}

}  // namespace quarn
