// The text form's grammar, read in one pass over the tokens.
//
// Values are read as their declared type says (a parenthesised group is a
// complex number, an array or a struct only by its type), so every type name
// is resolved when it is used. Types nest at most four deep (an array of
// structs whose members are arrays of scalars): arrays of arrays and structs
// in structs are refused where they are declared, which bounds every
// recursion below by that depth, whatever the file holds.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "driver/bus_guard.h"
#include "driver/mapped_file.h"
#include "text/lexer.h"
#include "text/text_form.h"
#include "types/utf8.h"

namespace quarn::text {
namespace {

enum class Kind : std::uint8_t { Float, Complex, String, Int, Array, Struct };

struct TypeNode {
  Kind kind = Kind::Float;
  std::uint32_t element = 0;                 // Array: the element's node
  StructMembers members;                     // Struct: names and kinds, in order
  std::vector<std::uint32_t> member_nodes;   // Struct: one node per member
  std::vector<PropertyList> member_props;    // Struct: one list per member
};

struct NamedType {
  std::uint32_t node;
  PropertyList props;
};

// Where a type is declared; it decides which nestings are refused.
enum class Context { Top, Element, Member, MemberElement };

// One sweep or trace of a swept file, in the order of its items at each point.
struct Slot {
  std::string name;
  Kind kind;                 // Float, Complex or Struct (of Float members)
  std::uint64_t width;       // doubles per point
  SampleBuffer* samples;     // into the records, fixed once the sections are read
};

TypeNode node_of(Kind k) {
  TypeNode n;
  n.kind = k;
  return n;
}

Datatype datatype_of(Kind k) noexcept {
  switch (k) {
    case Kind::Float: return Datatype::Float64;
    case Kind::Complex: return Datatype::Complex;
    case Kind::String: return Datatype::String;
    case Kind::Int: return Datatype::Int32;
    default: return Datatype::Array;  // never a struct: members are not structs
  }
}

class Parser {
 public:
  Parser(Bytes data) noexcept : lex_(data) {}

  Result<driver::Records> file(TextExtras* extras);
  Result<PropertyList> header_only();

 private:
  // The next token; false on a lexical failure, whose message the lexer holds.
  bool step() {
    tok_ = lex_.next();
    return tok_.kind != Tok::Error;
  }
  Status advance() {
    if (!step()) return lex_.failure();
    return Ok{};
  }
  bool is(Keyword k) const noexcept { return tok_.kind == Tok::Keyword && tok_.keyword == k; }

  Failure at(std::size_t pos, std::string_view what) const {
    return Failure{where(lex_.data(), pos) + ": " + std::string(what)};
  }
  Failure expected(std::string_view what) const {
    return at(tok_.pos, "expected " + std::string(what) + ", found " + describe(tok_));
  }
  Status expect(Tok kind, std::string_view what) {
    if (tok_.kind != kind) return expected(what);
    return advance();
  }

  Status header();
  Status pairs(PropertyList& out);
  Status prop_list(PropertyList& out);
  Status optional_props(PropertyList& out) {
    if (is(Keyword::Prop)) return prop_list(out);
    return Ok{};
  }
  Status type_section();
  Result<std::uint32_t> type_spec(Context ctx);
  Result<const NamedType*> type_ref(const std::string& name, std::size_t pos) const;
  Status declaration(bool sweep);
  Status swept_values();
  Status plain_values();
  Result<double> number(std::string_view what);
  Result<ScalarValue> scalar(std::uint32_t node);
  std::uint32_t add(TypeNode node) {
    nodes_.push_back(std::move(node));
    return static_cast<std::uint32_t>(nodes_.size() - 1);
  }

  Lexer lex_;
  Token tok_;
  driver::Records records_;
  TextExtras extras_;
  std::vector<TypeNode> nodes_;
  std::unordered_map<std::string, NamedType> types_;
  std::vector<Slot> slots_;
};

Status Parser::header() {
  QUARN_TRY(advance());
  if (!is(Keyword::Header)) return expected("keyword HEADER");
  QUARN_TRY(advance());
  return pairs(records_.header);
}

Status Parser::pairs(PropertyList& out) {
  while (tok_.kind == Tok::String) {
    Property p{unescape(tok_), {}};
    QUARN_TRY(advance());
    if (tok_.kind == Tok::String) {
      p.value.v = PropValue::String{unescape(tok_)};
    } else if (tok_.kind == Tok::Real) {
      p.value.v = PropValue::Float{to_double(tok_)};
    } else if (tok_.kind == Tok::Integer) {
      const auto i = to_int64(tok_);
      if (!i) return at(tok_.pos, "integer out of range");
      p.value.v = PropValue::Int{*i};
    } else {
      return expected("a string or a number as the value of \"" + p.name + "\"");
    }
    out.push_back(std::move(p));
    QUARN_TRY(advance());
  }
  return Ok{};
}

Status Parser::prop_list(PropertyList& out) {
  QUARN_TRY(advance());  // PROP
  QUARN_TRY(expect(Tok::LParen, "'(' after PROP"));
  QUARN_TRY(pairs(out));
  return expect(Tok::RParen, "a property name or ')'");
}

Status Parser::type_section() {
  QUARN_TRY(advance());  // TYPE
  while (tok_.kind == Tok::String) {
    std::string name = unescape(tok_);
    QUARN_TRY(advance());
    auto node = type_spec(Context::Top);
    if (!node) return pass_up(node);
    NamedType t{*node, {}};
    QUARN_TRY(optional_props(t.props));
    types_.insert_or_assign(std::move(name), std::move(t));  // a later definition wins
  }
  return Ok{};
}

Result<std::uint32_t> Parser::type_spec(Context ctx) {
  const Token start = tok_;
  if (start.kind != Tok::Keyword)
    return expected("a type (FLOAT, COMPLEX, STRING, ARRAY, STRUCT or INT)");
  switch (start.keyword) {
    case Keyword::Float:
    case Keyword::Complex: {
      QUARN_TRY(advance());
      if (!is(Keyword::Double)) return expected("keyword DOUBLE");
      QUARN_TRY(advance());
      return add(node_of(start.keyword == Keyword::Float ? Kind::Float : Kind::Complex));
    }
    case Keyword::String:
      QUARN_TRY(advance());
      QUARN_TRY(expect(Tok::Star, "'*'"));
      return add(node_of(Kind::String));
    case Keyword::Int:
      QUARN_TRY(advance());
      if (!is(Keyword::Byte) && !is(Keyword::Long)) return expected("keyword BYTE or LONG");
      QUARN_TRY(advance());
      return add(node_of(Kind::Int));
    case Keyword::Array: {
      if (ctx == Context::Element || ctx == Context::MemberElement)
        return at(start.pos, "nested array is not supported");
      QUARN_TRY(advance());
      QUARN_TRY(expect(Tok::LParen, "'(' after ARRAY"));
      if (tok_.kind == Tok::Eof) return expected("'*'");
      if (tok_.kind != Tok::Star)
        return at(tok_.pos, "array bound " + describe(tok_) + " is not supported");
      QUARN_TRY(advance());
      QUARN_TRY(expect(Tok::RParen, "')'"));
      auto element = type_spec(ctx == Context::Member ? Context::MemberElement : Context::Element);
      if (!element) return pass_up(element);
      TypeNode node = node_of(Kind::Array);
      node.element = *element;
      return add(std::move(node));
    }
    case Keyword::Struct: {
      if (ctx == Context::Member || ctx == Context::MemberElement)
        return at(start.pos, "nested struct is not supported");
      QUARN_TRY(advance());
      QUARN_TRY(expect(Tok::LParen, "'(' after STRUCT"));
      std::vector<StructMemberType> members;
      TypeNode node = node_of(Kind::Struct);
      std::unordered_set<std::string> seen;
      while (tok_.kind == Tok::String) {
        std::string name = unescape(tok_);
        if (!seen.insert(name).second)
          return at(tok_.pos, "duplicate member \"" + name + "\"");
        QUARN_TRY(advance());
        auto member = type_spec(Context::Member);
        if (!member) return pass_up(member);
        members.push_back({std::move(name), datatype_of(nodes_[*member].kind)});
        node.member_nodes.push_back(*member);
        node.member_props.emplace_back();
        QUARN_TRY(optional_props(node.member_props.back()));
      }
      QUARN_TRY(expect(Tok::RParen, "a member definition or ')'"));
      node.members = std::make_shared<const std::vector<StructMemberType>>(std::move(members));
      return add(std::move(node));
    }
    case Keyword::Group:
      return at(start.pos, "type GROUP is not supported");
    default:
      return expected("a type (FLOAT, COMPLEX, STRING, ARRAY, STRUCT or INT)");
  }
}

Result<const NamedType*> Parser::type_ref(const std::string& name, std::size_t pos) const {
  auto found = types_.find(name);
  if (found == types_.end())
    return at(pos, "type \"" + name + "\" is not defined in the TYPE section");
  return &found->second;
}

Status Parser::declaration(bool sweep) {
  std::string name = unescape(tok_);
  QUARN_TRY(advance());
  if (tok_.kind == Tok::Eof) return expected("a type name");
  if (tok_.kind != Tok::String) return at(tok_.pos, "group declarations are not supported");
  const std::string type_name = unescape(tok_);
  auto type = type_ref(type_name, tok_.pos);
  if (!type) return pass_up(type);
  const TypeNode& node = nodes_[(*type)->node];
  bool supported = node.kind == Kind::Float;
  if (!sweep && node.kind == Kind::Complex) supported = true;
  if (!sweep && node.kind == Kind::Struct && !node.members->empty()) {
    supported = true;
    for (std::uint32_t m : node.member_nodes) supported = supported && nodes_[m].kind == Kind::Float;
  }
  if (!supported)
    return at(tok_.pos, std::string(sweep ? "sweep" : "trace") + " of type \"" + type_name +
                            "\" is not supported");
  QUARN_TRY(advance());
  // Member by member: GCC 12 destroys a nested aggregate's parts twice when a
  // later part's copy throws (out of memory).
  TextDetails details;
  details.decl.properties = (*type)->props;
  details.type_name = type_name;
  details.member_properties = node.member_props;
  QUARN_TRY(optional_props(details.decl.properties));

  Series series;
  std::uint64_t width = 1;
  if (node.kind == Kind::Complex) {
    series.v = Series::Complex{};
    width = 2;
  } else if (node.kind == Kind::Struct) {
    series.v = Series::Struct{node.members, {}};
    width = node.members->size();
  }
  slots_.push_back({name, node.kind, width, nullptr});
  auto& list = sweep ? records_.sweeps : records_.traces;
  list.push_back({std::move(name), std::move(series)});
  (sweep ? extras_.sweeps : extras_.traces).push_back(std::move(details));
  return Ok{};
}

Result<double> Parser::number(std::string_view what) {
  if (tok_.kind != Tok::Real && tok_.kind != Tok::Integer) return expected(what);
  const double v = to_double(tok_);
  if (!step()) return lex_.failure();
  return v;
}

Status Parser::swept_values() {
  // The series of the records no longer move: point the slots at them.
  std::size_t k = 0;
  for (auto& s : records_.sweeps) slots_[k++].samples = &s.series.samples();
  for (auto& t : records_.traces) slots_[k++].samples = &t.series.samples();

  std::uint64_t point = 0;
  while (tok_.kind == Tok::String) {
    ++point;
    for (const Slot& slot : slots_) {
      if (tok_.kind != Tok::String ||
          (tok_.escaped ? unescape(tok_) != slot.name : tok_.text != slot.name))
        return at(tok_.pos, format("expected name \"{}\" (point {}), found {}", slot.name, point,
                                   describe(tok_)));
      if (!step()) return lex_.failure();
      SampleBuffer& samples = *slot.samples;
      if (!samples.grow_for(slot.width))
        return fail("cannot allocate memory for {} samples of '{}'", samples.size() + slot.width,
                    slot.name);
      if (slot.kind == Kind::Float) {
        auto v = number("a number");
        if (!v) return pass_up(v);
        samples.push_back(*v);
        continue;
      }
      QUARN_TRY(expect(Tok::LParen, slot.kind == Kind::Complex ? "'(' of a complex value"
                                                               : "'(' of a struct value"));
      for (std::uint64_t i = 0; i < slot.width; ++i) {
        auto v = number("a number");
        if (!v) return pass_up(v);
        samples.push_back(*v);
      }
      QUARN_TRY(expect(Tok::RParen, "')'"));
    }
  }
  return Ok{};
}

Result<ScalarValue> Parser::scalar(std::uint32_t index) {
  const TypeNode& node = nodes_[index];
  switch (node.kind) {
    case Kind::Float: {
      auto v = number("a number");
      if (!v) return pass_up(v);
      return ScalarValue{ScalarValue::Float{*v}};
    }
    case Kind::Int: {
      if (tok_.kind != Tok::Integer) return expected("an integer");
      const auto i = to_int64(tok_);
      if (!i) return at(tok_.pos, "integer out of range");
      QUARN_TRY(advance());
      return ScalarValue{ScalarValue::Int{*i}};
    }
    case Kind::Complex: {
      QUARN_TRY(expect(Tok::LParen, "'(' of a complex value"));
      auto re = number("a number");
      if (!re) return pass_up(re);
      auto im = number("a number");
      if (!im) return pass_up(im);
      QUARN_TRY(expect(Tok::RParen, "')'"));
      return ScalarValue{ScalarValue::Complex{*re, *im}};
    }
    case Kind::String: {
      if (tok_.kind != Tok::String) return expected("a string");
      ScalarValue v{ScalarValue::String{unescape(tok_)}};
      QUARN_TRY(advance());
      return v;
    }
    case Kind::Array: {
      QUARN_TRY(expect(Tok::LParen, "'(' of an array value"));
      ScalarValue::Array out;
      const std::uint32_t element = node.element;
      while (tok_.kind != Tok::RParen) {
        auto v = scalar(element);
        if (!v) return pass_up(v);
        out.values.push_back(std::move(*v));
      }
      QUARN_TRY(advance());
      return ScalarValue{std::move(out)};
    }
    default: {
      QUARN_TRY(expect(Tok::LParen, "'(' of a struct value"));
      ScalarValue::Struct out{node.members, {}};
      out.values.reserve(node.member_nodes.size());
      for (std::uint32_t m : node.member_nodes) {
        auto v = scalar(m);
        if (!v) return pass_up(v);
        out.values.push_back(std::move(*v));
      }
      QUARN_TRY(expect(Tok::RParen, "')' after the last member"));
      return ScalarValue{std::move(out)};
    }
  }
}

Status Parser::plain_values() {
  while (tok_.kind == Tok::String) {
    std::string name = unescape(tok_);
    QUARN_TRY(advance());
    if (tok_.kind != Tok::String) return expected("a type name");
    const std::string type_name = unescape(tok_);
    auto type = type_ref(type_name, tok_.pos);
    if (!type) return pass_up(type);
    QUARN_TRY(advance());
    auto value = scalar((*type)->node);
    if (!value) return pass_up(value);
    const TypeNode& node = nodes_[(*type)->node];
    TextDetails details;  // member by member, as above
    details.decl.properties = (*type)->props;
    details.type_name = type_name;
    details.member_properties = node.member_props;
    QUARN_TRY(optional_props(details.decl.properties));
    records_.values.push_back({std::move(name), std::move(*value)});
    extras_.values.push_back(std::move(details));
  }
  return Ok{};
}

Result<driver::Records> Parser::file(TextExtras* extras) {
  QUARN_TRY(header());
  std::string what = "a header pair, TYPE, SWEEP, TRACE, VALUE or END";
  if (tok_.kind != Tok::Eof) {  // more than the HEADER: END must close it
    if (is(Keyword::Type)) {
      QUARN_TRY(type_section());
      what = "a type definition, SWEEP, TRACE, VALUE or END";
    }
    const bool swept = is(Keyword::Sweep);
    if (swept) {
      QUARN_TRY(advance());
      if (tok_.kind != Tok::String) return expected("a sweep declaration");
      QUARN_TRY(declaration(true));
      if (tok_.kind == Tok::String) return at(tok_.pos, "more than one sweep is not supported");
      what = "TRACE, VALUE or END";
    }
    if (is(Keyword::Trace)) {
      if (!swept) return at(tok_.pos, "a TRACE section without a SWEEP section is not supported");
      QUARN_TRY(advance());
      while (tok_.kind == Tok::String) QUARN_TRY(declaration(false));
      what = "a trace declaration, VALUE or END";
    }
    if (is(Keyword::Value)) {
      QUARN_TRY(advance());
      if (swept) {
        QUARN_TRY(swept_values());
        what = format("name \"{}\" or END", slots_.front().name);
      } else {
        QUARN_TRY(plain_values());
        what = "an entry or END";
      }
    }
    if (tok_.kind == Tok::Eof) return at(tok_.pos, "file ends before END");
    if (!is(Keyword::End)) return expected(what);
    QUARN_TRY(advance());
    if (tok_.kind != Tok::Eof) return at(tok_.pos, "text after END");
  }
  if (extras != nullptr) *extras = std::move(extras_);
  return std::move(records_);
}

Result<PropertyList> Parser::header_only() {
  QUARN_TRY(header());
  const bool section = is(Keyword::Type) || is(Keyword::Sweep) || is(Keyword::Trace) ||
                       is(Keyword::Value) || is(Keyword::End);
  if (tok_.kind != Tok::Eof && !section)
    return expected("a header pair, TYPE, SWEEP, TRACE, VALUE or END");
  return std::move(records_.header);
}

}  // namespace

bool looks_like_text(Bytes data) noexcept {
  if (data.size() < 6 || std::memcmp(data.data(), "HEADER", 6) != 0) return false;
  if (data.size() == 6) return true;
  const char c = static_cast<char>(data[6]);
  return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}

Result<driver::Records> parse_text(Bytes data, TextExtras* extras) {
  return Parser(data).file(extras);
}

Result<PropertyList> parse_text_header(Bytes data) { return Parser(data).header_only(); }

Result<driver::Records> load_text(const std::string& path, TextExtras* extras) {
  auto file = MappedFile::open(path);
  if (!file) return pass_up(file);
  Result<driver::Records> parsed = Failure{};
  TextExtras details;
  std::optional<std::uint64_t> data_end;
  {
    BusGuard guard(file->bytes());
    parsed = parse_text(file->bytes(), extras != nullptr ? &details : nullptr);
    data_end = guard.fault_offset();
  }
  // A cut inside a page reads as zeros instead of faulting; a file now
  // shorter than it was is reported as such, whatever the parse made of it.
  // LCOV_EXCL_BR_LINE: a file cut between the open and this check, a race
  if (!data_end) data_end = file->shrunk_to();
  // LCOV_EXCL_BR_LINE: a file cut between the open and this check, a race
  if (data_end) return file_shrank(utf8::lossy(path), *data_end);
  if (parsed && extras != nullptr) *extras = std::move(details);
  return parsed;
}

}  // namespace quarn::text
