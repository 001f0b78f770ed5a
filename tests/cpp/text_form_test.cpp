// The text form: the example files to their records, numbers to the exact
// doubles, the details kept beside the records, and one table of the failures
// with their messages.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>

#include "records.h"
#include "text/text_form.h"

namespace {

using quarn::PropValue;
using quarn::ScalarValue;
using quarn::driver::Records;
using quarn_test::bits;
using quarn_test::describe;

quarn::Bytes as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}

std::string example(const std::string& name) {
  std::ifstream in(std::string(QUARN_SOURCE_DIR) + "/fuzz/corpus_text/example_" + name,
                   std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string series_list(const std::vector<quarn::NamedSeries>& list) {
  std::string out;
  for (const auto& s : list) out += s.name + ":" + describe(s.series) + ";";
  return out;
}

std::string header_keys(const quarn::PropertyList& header) {
  std::string out;
  for (const auto& p : header) out += p.name + ";";
  return out;
}

struct ExampleCase {
  std::string label;
  std::function<void(const Records&, const quarn::text::TextExtras&)> check;
};
QUARN_TEST_PRINTS_LABEL(ExampleCase)

class Examples : public ::testing::TestWithParam<ExampleCase> {};

TEST_P(Examples, ParseToTheirRecords) {
  const std::string text = example(GetParam().label);
  ASSERT_FALSE(text.empty());
  EXPECT_TRUE(quarn::text::looks_like_text(as_bytes(text)));
  quarn::text::TextExtras extras;
  auto r = quarn::text::parse_text(as_bytes(text), &extras);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(extras.sweeps.size(), r->sweeps.size());
  EXPECT_EQ(extras.traces.size(), r->traces.size());
  EXPECT_EQ(extras.values.size(), r->values.size());
  GetParam().check(*r, extras);
}

INSTANTIATE_TEST_SUITE_P(
    TextForm, Examples,
    ::testing::Values(
        ExampleCase{"ac",
                    [](const Records& r, const quarn::text::TextExtras& x) {
                      EXPECT_EQ(r.header.size(), 13u);
                      EXPECT_EQ(series_list(r.sweeps),
                                "freq:Real" + bits({1e3, 3.162277660168380e+04, 1e6}) + ";");
                      EXPECT_EQ(series_list(r.traces),
                                "out:Complex" + bits({-12.5, 0.0125, -12.48, 0.395, -0.85, -6.2}) +
                                    ";in:Complex" + bits({1, 0, 1, 0, 1, 0}) + ";V1:p:Complex" +
                                    bits({-3.2e-09, -1e-06, -3.21e-09, -3.16e-05, -4e-09, -0.001}) + ";");
                      // the sweep: its type's list, then its own
                      EXPECT_EQ(describe(x.sweeps[0].decl.properties),
                                "key=String(sweep);sweep_direction=Int(0);units=String(Hz);plot=Int(0);"
                                "grid=Int(3);");
                      EXPECT_EQ(x.traces[2].type_name, "I");
                      EXPECT_EQ(describe(x.traces[2].decl.properties),
                                "units=String(A);key=String(branch);tolerance=Float(" +
                                    quarn_test::hex64(5e-12) + ");");
                    }},
        ExampleCase{"dc_sweep",
                    [](const Records& r, const quarn::text::TextExtras&) {
                      EXPECT_EQ(series_list(r.sweeps), "vg:Real" + bits({0, 0.5, 1}) + ";");
                      EXPECT_EQ(series_list(r.traces),
                                "vg:Real" + bits({0, 0.5, 1}) + ";out:Real" +
                                    bits({1.8, 1.234567890123457, 0.042}) + ";VDD:p:Real" +
                                    bits({-1e-12, -2.5e-05, -3.1e-04}) + ";");
                    }},
        ExampleCase{"noise",
                    [](const Records& r, const quarn::text::TextExtras& x) {
                      EXPECT_EQ(series_list(r.traces),
                                "M1:Struct3[chan,flick,total]" +
                                    bits({1e-18, 4e-17, 4.1e-17, 1e-18, 3.9e-17, 4e-17}) +
                                    ";onoise:Real" + bits({6.403124237432849e-09, 6.324555320336759e-09}) +
                                    ";");
                      ASSERT_EQ(x.traces[0].member_properties.size(), 3u);
                      EXPECT_EQ(describe(x.traces[0].member_properties[1]), "units=String(V^2/Hz);");
                      EXPECT_EQ(describe(x.traces[0].decl.properties), "key=String(inst);master=String(mosx);");
                    }},
        ExampleCase{"info_params",
                    [](const Records& r, const quarn::text::TextExtras& x) {
                      EXPECT_TRUE(r.sweeps.empty() && r.traces.empty());
                      EXPECT_EQ(describe(r.values),
                                "params:Struct{tempc=Float(" + quarn_test::hex64(25) + "), vdd=Float(" +
                                    quarn_test::hex64(1.8) + "), wn=Float(" + quarn_test::hex64(2e-6) + ")};");
                      EXPECT_EQ(x.values[0].type_name, "params");
                    }},
        ExampleCase{"info_cells",
                    [](const Records& r, const quarn::text::TextExtras&) {
                      EXPECT_EQ(describe(r.values),
                                "buf2:Struct{cell_params=String(w l ), cell_terminals=String(a y vdd vss )};"
                                "inv1:Struct{cell_params=String(), cell_terminals=String()};");
                    }},
        ExampleCase{"op_values",
                    [](const Records& r, const quarn::text::TextExtras& x) {
                      EXPECT_EQ(describe(r.values), "out:Float(" + quarn_test::hex64(0.9) + ");VDD:p:Float(" +
                                                        quarn_test::hex64(-2.5e-05) + ");");
                      EXPECT_EQ(describe(x.values[1].decl.properties), "units=String(A);key=String(branch);");
                    }},
        ExampleCase{"index",
                    [](const Records& r, const quarn::text::TextExtras& x) {
                      ASSERT_EQ(r.values.size(), 4u);
                      EXPECT_EQ(describe(r.values[1].value),
                                "Struct{analysisType=String(ac), dataFile=String(acA.ac), format=String(PSF), "
                                "parent=String(), sweepVariable=Array[String(freq)], "
                                "description=String(AC analysis `acA': 1 kHz to 1 MHz)}");
                      EXPECT_NE(describe(r.values[0].value).find("sweepVariable=Array[]"), std::string::npos);
                      EXPECT_EQ(describe(x.values[2].decl.properties), "data_type=String(struct);");
                      EXPECT_TRUE(x.values[3].decl.properties.empty());
                      EXPECT_EQ(r.header.back().name, "sst2usecolon");
                    }},
        ExampleCase{"family_index",
                    [](const Records& r, const quarn::text::TextExtras& x) {
                      ASSERT_EQ(r.values.size(), 3u);
                      EXPECT_EQ(describe(x.values[2].decl.properties),
                                "data_type=String(swept_scalar);sweep_tree_type=String(leafNode);rload=Float(" +
                                    quarn_test::hex64(1000) + ");");
                    }},
        ExampleCase{"run_object",
                    [](const Records& r, const quarn::text::TextExtras& x) {
                      EXPECT_EQ(describe(r.values),
                                "Run1:Struct{logName=Array[String(logFile), String(envLogFile)], parent=String(), "
                                "sweepVariable=Array[]};");
                      EXPECT_EQ(describe(x.values[0].decl.properties), "key=String(runObject);");
                      EXPECT_EQ(header_keys(r.header),
                                "PSFversion;Run Generator;Run Time Stamp;simulator;date;"
                                "externalSweepVariableCount;netlistDir;");
                    }},
        ExampleCase{"run_object_parametric",
                    [](const Records& r, const quarn::text::TextExtras&) {
                      EXPECT_EQ(describe(r.values),
                                "Root:Struct{logName=Array[String()], parent=String(), "
                                "sweepVariable=Array[String(p1)]};");
                    }},
        ExampleCase{"design_variables",
                    [](const Records& r, const quarn::text::TextExtras& x) {
                      EXPECT_EQ(describe(r.values),
                                "vdd:Struct{value=Float(" + quarn_test::hex64(1.8) + ")};ibias:Struct{value=Float(" +
                                    quarn_test::hex64(20e-6) + ")};temp:Struct{value=Float(" +
                                    quarn_test::hex64(25) + ")};");
                      EXPECT_EQ(describe(x.values[2].decl.properties), "key=String(element);");
                    }},
        ExampleCase{"run_data",
                    [](const Records& r, const quarn::text::TextExtras&) {
                      EXPECT_TRUE(r.values.empty());
                      EXPECT_EQ(r.header.size(), 8u);
                      EXPECT_EQ(std::get<PropValue::String>(r.header[1].value.v).value,
                                "(\"demolib\" \"amp\" \"schematic\" \"\")");
                    }},
        ExampleCase{"name_map",
                    [](const Records& r, const quarn::text::TextExtras&) {
                      // every pair kept in order; the dict made of it keeps the later value
                      EXPECT_EQ(describe(r.header),
                                "PSFversion=String(1.00);net7=String(a\\7 b);net7=String(n7);");
                    }},
        ExampleCase{"free_layout", [](const Records& r, const quarn::text::TextExtras&) {
                      EXPECT_EQ(describe(r.values), "x:Struct{a=Float(" + quarn_test::hex64(1) +
                                                        "), b=Array[String(p), String(q)]};");
                    }}));

// Numbers in floating contexts, each to its double bit for bit.
TEST(TextForm, NumbersAreTheNearestDouble) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* text;
    double want;
  };
  std::vector<Case> cases = {
      {"0.1", 0.1},
      {"-0", -0.0},
      {"+2", 2},
      {".5", 0.5},
      {"200000.", 200000},
      {"1E3", 1000},
      {"1e400", inf},
      {"-1e400", -inf},
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"0.0001e-99999999999999999999", 0.0},
      {"123456789012345678901234567890", 1.2345678901234568e29},
      {"4.9e-324", 4.9e-324},
      {"2.2250738585072011e-308", 2.2250738585072011e-308},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"0.30000000000000004", 0.30000000000000004},
      {"INF", inf},
      {"-Infinity", -inf},
      {"inf", inf},
      {"1e+400", inf},
      {"1000e-330", 0.0},
      {"0.5e-330", 0.0},
      {"12.5E-400", 0.0},
      {"-0.0e999", -0.0},
  };
  const std::string zeros(400, '0');
  const std::string huge = "1" + zeros, tiny = "0." + zeros + "1";
  cases.push_back({huge.c_str(), inf});
  cases.push_back({tiny.c_str(), 0.0});
  for (const auto& c : cases) {
    const std::string text = std::string("HEADER TYPE \"f\" FLOAT DOUBLE VALUE \"v\" \"f\" ") + c.text + " END";
    auto r = quarn::text::parse_text(as_bytes(text));
    ASSERT_TRUE(r) << c.text << ": " << r.error();
    EXPECT_EQ(describe(r->values), "v:Float(" + quarn_test::hex64(c.want) + ");") << c.text;
  }
  // nan keeps its sign
  auto r = quarn::text::parse_text(
      as_bytes("HEADER TYPE \"f\" FLOAT DOUBLE VALUE \"a\" \"f\" nan \"b\" \"f\" -NaN END"));
  ASSERT_TRUE(r) << r.error();
  const double a = std::get<ScalarValue::Float>(r->values[0].value.v).value;
  const double b = std::get<ScalarValue::Float>(r->values[1].value.v).value;
  EXPECT_TRUE(std::isnan(a) && !std::signbit(a));
  EXPECT_TRUE(std::isnan(b) && std::signbit(b));
}

// Any double printed with 17 significant digits comes back bit for bit, over
// enough points that the arrays outgrow their first allocations.
TEST(TextForm, SweptRoundTripIsExact) {
  std::mt19937_64 rng(7);
  std::string text =
      "HEADER\n\"PSFversion\" \"1.00\"\nTYPE\n\"s\" FLOAT DOUBLE\n\"c\" COMPLEX DOUBLE\n"
      "SWEEP\n\"x\" \"s\"\nTRACE\n\"y\" \"s\"\n\"z\" \"c\"\nVALUE\n";
  std::vector<double> x, y, z;
  constexpr int kPoints = 70000;
  char buf[160];
  for (int i = 0; i < kPoints; ++i) {
    double v[4];
    for (double& d : v) {
      do d = std::bit_cast<double>(rng()); while (!std::isfinite(d));
    }
    std::snprintf(buf, sizeof buf, "\"x\" %.17g\n\"y\" %.16e\n\"z\" (%.17g %.17g)\n", v[0], v[1], v[2], v[3]);
    text += buf;
    x.push_back(v[0]);
    y.push_back(v[1]);
    z.push_back(v[2]);
    z.push_back(v[3]);
  }
  text += "END\n";
  auto r = quarn::text::parse_text(as_bytes(text));
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(describe(r->sweeps[0].series), "Real" + bits(x));
  EXPECT_EQ(describe(r->traces[0].series), "Real" + bits(y));
  EXPECT_EQ(describe(r->traces[1].series), "Complex" + bits(z));
}

// Layout and string forms that real files do not show but a reader accepts.
TEST(TextForm, AcceptsEveryLayoutAndEscape) {
  auto r = quarn::text::parse_text(as_bytes(
      "HEADER\t\"k\"\r\n\"v\\\"q\\\\\\n\"\"i\"-1 \"big\"9223372036854775807 \"neg\"-9223372036854775808 "
      "\"line\"\"a\nb\" \"\xc3\xa9\" 2 TYPE \"t\"STRUCT(\"n\"INT LONG \"a\"ARRAY(*)COMPLEX DOUBLE)"
      "\"t\" INT BYTE \"s\"ARRAY ( * ) STRUCT(\"m\" STRING *PROP(\"units\"\"V\"\"units\"\"A\"))"
      "\"c\" STRUCT(\"re\" COMPLEX DOUBLE \"w\" STRING *)"
      " VALUE \"e\"\"t\"-5 \"f\"\"s\"((\"p\")(\"q\"))PROP()\"e\"\"t\"7 \"z\"\"c\"((1.5 -0)"
      "\"\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\xed\x9f\xbf\")END \n"));
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(describe(r->header),
            "k=String(v\"q\\\\n);i=Int(-1);big=Int(9223372036854775807);neg=Int(-9223372036854775808);"
            "line=String(a\nb);\xc3\xa9=Int(2);");
  // the later "t" wins; names repeat in file order
  EXPECT_EQ(describe(r->values),
            "e:Int(-5);f:Array[Struct{m=String(p)}, Struct{m=String(q)}];e:Int(7);z:Struct{re=Complex(" +
                quarn_test::hex64(1.5) + "," + quarn_test::hex64(-0.0) +
                "), w=String(\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf\xed\x9f\xbf)};");
  // a swept name with an escape is matched by its text
  auto escaped = quarn::text::parse_text(
      as_bytes("HEADER \"n\" +5 TYPE \"s\" FLOAT DOUBLE SWEEP \"a\\\"b\" \"s\" VALUE \"a\\\"b\" 1 END"));
  ASSERT_TRUE(escaped) << escaped.error();
  EXPECT_EQ(describe(escaped->header), "n=Int(5);");
  EXPECT_EQ(series_list(escaped->sweeps), "a\"b:Real" + bits({1}) + ";");
  // a SWEEP with no VALUE section: zero points
  auto empty = quarn::text::parse_text(
      as_bytes("HEADER TYPE \"s\" FLOAT DOUBLE SWEEP \"x\" \"s\" TRACE \"x\" \"s\" \"x\" \"s\" END"));
  ASSERT_TRUE(empty) << empty.error();
  EXPECT_EQ(series_list(empty->traces), "x:Real[];x:Real[];");
}

TEST(TextForm, HeaderAloneStopsAtTheFirstSection) {
  auto h = quarn::text::parse_text_header(as_bytes("HEADER \"a\" 1 \"a\" 2.5 TYPE )))( \xff"));
  ASSERT_TRUE(h) << h.error();
  EXPECT_EQ(describe(*h), "a=Int(1);a=Float(" + quarn_test::hex64(2.5) + ");");
  auto eof = quarn::text::parse_text_header(as_bytes("HEADER"));
  ASSERT_TRUE(eof) << eof.error();
  EXPECT_TRUE(eof->empty());
  auto bad = quarn::text::parse_text_header(as_bytes("HEADER \"a\" 1 (\n"));
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(),
            "line 1, column 14: expected a header pair, TYPE, SWEEP, TRACE, VALUE or END, found '('");
  for (const char* section : {"TYPE", "SWEEP", "TRACE", "VALUE", "END"}) {
    auto r = quarn::text::parse_text_header(as_bytes(std::string("HEADER \"a\" \"b\"\n") + section + " ("));
    ASSERT_TRUE(r) << section << ": " << r.error();
    EXPECT_EQ(r->size(), 1u);
  }
  for (const char* start : {"HEADER\t", "HEADER\r", "HEADER\n", "HEADER "})
    EXPECT_TRUE(quarn::text::looks_like_text(as_bytes(start))) << start;
  EXPECT_FALSE(quarn::text::looks_like_text(as_bytes("HEADER\f")));
  EXPECT_FALSE(quarn::text::looks_like_text(as_bytes("XEADER ")));
  EXPECT_FALSE(quarn::text::looks_like_text(as_bytes("HEADERS")));
  EXPECT_FALSE(quarn::text::looks_like_text(as_bytes("HEAD")));
  EXPECT_TRUE(quarn::text::looks_like_text(as_bytes("HEADER")));
}

TEST(TextForm, LoadsAFileByPath) {
  char path[] = "/tmp/quarn_text_XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = example("dc_sweep");
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  quarn::text::TextExtras extras;
  auto r = quarn::text::load_text(path, &extras);
  auto plain = quarn::text::load_text(path);
  ::unlink(path);
  ASSERT_TRUE(plain) << plain.error();
  EXPECT_EQ(plain->sweeps.size(), 1u);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->traces.size(), 3u);
  EXPECT_EQ(extras.traces.size(), 3u);
  {
    std::ofstream bad(path, std::ios::binary);
    bad << "HEADER \"k\" x";
  }
  quarn::text::TextExtras untouched;
  auto refused = quarn::text::load_text(path, &untouched);
  ::unlink(path);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "line 1, column 12: unexpected text 'x'");
  EXPECT_TRUE(untouched.values.empty() && untouched.traces.empty());
  auto missing = quarn::text::load_text(path);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.failure_kind(), quarn::FailureKind::Io);
}

struct ErrorCase {
  std::string label;
  std::string text;
  std::string message;
};
QUARN_TEST_PRINTS_LABEL(ErrorCase)

class Errors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(Errors, NameLineColumnAndWhatWasFound) {
  auto r = quarn::text::parse_text(as_bytes(GetParam().text));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.failure_kind(), quarn::FailureKind::Format);
  EXPECT_EQ(r.error(), GetParam().message);
}

const std::string kSwept =
    "HEADER\nTYPE\n\"s\" FLOAT DOUBLE\n\"c\" COMPLEX DOUBLE\n\"st\" STRUCT( \"a\" FLOAT DOUBLE )\n"
    "SWEEP\n\"f\" \"s\"\nTRACE\n\"v\" \"c\"\nVALUE\n";  // VALUE ends line 10
const std::string kTypes = "HEADER TYPE ";

INSTANTIATE_TEST_SUITE_P(
    TextForm, Errors,
    ::testing::Values(
        ErrorCase{"not_text", std::string("\0\0\0\x04", 4),
                  "line 1, column 1: unexpected text '" + std::string("\0\0\0\x04'", 5)},
        ErrorCase{"byte_order_mark", "\xef\xbb\xbfHEADER", "line 1, column 1: unexpected text '\xef\xbb\xbfHEADER'"},
        ErrorCase{"empty", "", "line 1, column 1: expected keyword HEADER, found end of file"},
        ErrorCase{"header_value_missing", "HEADER \"a\"\n",
                  "line 2, column 1: expected a string or a number as the value of \"a\", found end of file"},
        ErrorCase{"unterminated", "HEADER \"a\" \"b\\\"\n", "line 1, column 12: unterminated string"},
        ErrorCase{"glued_star", kTypes + "\"t\" STRING*", "line 1, column 17: unexpected text 'STRING*'"},
        ErrorCase{"glued_quote", "HEADER \"a\" 1\"v\"", "line 1, column 12: unexpected text '1\"v\"'"},
        ErrorCase{"two_points", "HEADER \"a\" 1.5.2", "line 1, column 12: unexpected text '1.5.2'"},
        ErrorCase{"comment", "HEADER\n  // note", "line 2, column 3: unexpected text '//'"},
        ErrorCase{"form_feed", "HEADER \f", "line 1, column 8: unexpected text '\f'"},
        ErrorCase{"lower_case_keyword", "HEADER end", "line 1, column 8: unexpected text 'end'"},
        ErrorCase{"utf8_in_string", "HEADER\n\"\xc3\xa9\xc3\xa9\" \"x\xe0\x80\xaf\"",
                  "line 2, column 8: invalid UTF-8"},
        ErrorCase{"utf8_in_word", "HEADER\t\"a\" 1\xff", "line 1, column 13: invalid UTF-8"},
        ErrorCase{"utf8_cut_at_end", "HEADER \"\xf0\x9f\x98", "line 1, column 9: invalid UTF-8"},
        ErrorCase{"carriage_return_no_line", "HEADER\r\"a\"\r\r)", "line 1, column 13: expected a "
                  "string or a number as the value of \"a\", found ')'"},
        ErrorCase{"header_int_range", "HEADER \"a\" 9223372036854775808",
                  "line 1, column 12: integer out of range"},
        ErrorCase{"int_value_range", kTypes + "\"i\" INT LONG VALUE \"v\" \"i\" -9223372036854775809 END",
                  "line 1, column 40: integer out of range"},
        ErrorCase{"int_value_real", kTypes + "\"i\" INT BYTE VALUE \"v\" \"i\" 1.0 END",
                  "line 1, column 40: expected an integer, found number 1.0"},
        ErrorCase{"int_other_width", kTypes + "\"i\" INT SHORT", "line 1, column 21: unexpected text 'SHORT'"},
        ErrorCase{"int_wrong_keyword", kTypes + "\"i\" INT DOUBLE",
                  "line 1, column 21: expected keyword BYTE or LONG, found keyword DOUBLE"},
        ErrorCase{"float_without_double", kTypes + "\"f\" FLOAT END",
                  "line 1, column 23: expected keyword DOUBLE, found keyword END"},
        ErrorCase{"type_missing", kTypes + "\"f\" \"g\"",
                  "line 1, column 17: expected a type (FLOAT, COMPLEX, STRING, ARRAY, STRUCT or INT), "
                  "found string \"g\""},
        ErrorCase{"type_keyword", kTypes + "\"f\" GROUP", "line 1, column 17: type GROUP is not supported"},
        ErrorCase{"type_section_keyword", kTypes + "\"f\" VALUE",
                  "line 1, column 17: expected a type (FLOAT, COMPLEX, STRING, ARRAY, STRUCT or INT), "
                  "found keyword VALUE"},
        ErrorCase{"string_without_star", kTypes + "\"s\" STRING \"x\"",
                  "line 1, column 24: expected '*', found string \"x\""},
        ErrorCase{"array_bound", kTypes + "\"a\" ARRAY ( 3 ) STRING *",
                  "line 1, column 25: array bound number 3 is not supported"},
        ErrorCase{"array_cut", kTypes + "\"a\" ARRAY (", "line 1, column 24: expected '*', found end of file"},
        ErrorCase{"array_without_paren", kTypes + "\"a\" ARRAY *",
                  "line 1, column 23: expected '(' after ARRAY, found '*'"},
        ErrorCase{"nested_array", kTypes + "\"a\" ARRAY(*) ARRAY(*) STRING *",
                  "line 1, column 26: nested array is not supported"},
        ErrorCase{"nested_struct", kTypes + "\"a\" STRUCT( \"m\" STRUCT( ) )",
                  "line 1, column 29: nested struct is not supported"},
        ErrorCase{"struct_in_member_array", kTypes + "\"a\" STRUCT( \"m\" ARRAY(*) STRUCT( ) )",
                  "line 1, column 38: nested struct is not supported"},
        ErrorCase{"duplicate_member", kTypes + "\"a\" STRUCT(\n\"m\" FLOAT DOUBLE\n\"m\" STRING * )",
                  "line 3, column 1: duplicate member \"m\""},
        ErrorCase{"struct_unclosed", kTypes + "\"a\" STRUCT( \"m\" FLOAT DOUBLE END",
                  "line 1, column 42: expected a member definition or ')', found keyword END"},
        ErrorCase{"prop_without_paren", kTypes + "\"a\" FLOAT DOUBLE PROP \"k\"",
                  "line 1, column 35: expected '(' after PROP, found string \"k\""},
        ErrorCase{"prop_unclosed", kTypes + "\"a\" FLOAT DOUBLE PROP( \"k\" 1 END",
                  "line 1, column 42: expected a property name or ')', found keyword END"},
        ErrorCase{"no_sweep_declaration", kTypes + "\"s\" FLOAT DOUBLE SWEEP TRACE",
                  "line 1, column 36: expected a sweep declaration, found keyword TRACE"},
        ErrorCase{"two_sweeps", kTypes + "\"s\" FLOAT DOUBLE SWEEP \"a\" \"s\"\n\"b\" \"s\"",
                  "line 2, column 1: more than one sweep is not supported"},
        ErrorCase{"undefined_type", kTypes + "\"s\" FLOAT DOUBLE SWEEP \"a\" \"t\"",
                  "line 1, column 40: type \"t\" is not defined in the TYPE section"},
        ErrorCase{"group_declaration", kTypes + "\"s\" FLOAT DOUBLE SWEEP \"a\" \"s\" TRACE \"g\" GROUP 2",
                  "line 1, column 54: group declarations are not supported"},
        ErrorCase{"declaration_cut", kTypes + "\"s\" FLOAT DOUBLE SWEEP \"a\"",
                  "line 1, column 39: expected a type name, found end of file"},
        ErrorCase{"complex_sweep", kTypes + "\"c\" COMPLEX DOUBLE SWEEP \"a\" \"c\"",
                  "line 1, column 42: sweep of type \"c\" is not supported"},
        ErrorCase{"string_trace", kTypes + "\"s\" FLOAT DOUBLE \"t\" STRING * SWEEP \"a\" \"s\" TRACE \"b\" \"t\"",
                  "line 1, column 67: trace of type \"t\" is not supported"},
        ErrorCase{"struct_trace_string_member",
                  kTypes + "\"s\" FLOAT DOUBLE \"t\" STRUCT(\"m\" STRING *) SWEEP \"a\" \"s\" TRACE \"b\" \"t\"",
                  "line 1, column 79: trace of type \"t\" is not supported"},
        ErrorCase{"empty_struct_trace",
                  kTypes + "\"s\" FLOAT DOUBLE \"t\" STRUCT() SWEEP \"a\" \"s\" TRACE \"b\" \"t\"",
                  "line 1, column 67: trace of type \"t\" is not supported"},
        ErrorCase{"trace_without_sweep", kTypes + "\"s\" FLOAT DOUBLE TRACE",
                  "line 1, column 30: a TRACE section without a SWEEP section is not supported"},
        ErrorCase{"section_out_of_order", kTypes + "\"s\" FLOAT DOUBLE SWEEP \"a\" \"s\" TYPE",
                  "line 1, column 44: expected TRACE, VALUE or END, found keyword TYPE"},
        ErrorCase{"header_then_junk", "HEADER \"a\" \"b\" 1",
                  "line 1, column 16: expected a header pair, TYPE, SWEEP, TRACE, VALUE or END, found number 1"},
        ErrorCase{"types_then_junk", kTypes + "\"s\" FLOAT DOUBLE *",
                  "line 1, column 30: expected a type definition, SWEEP, TRACE, VALUE or END, found '*'"},
        ErrorCase{"traces_then_junk", kSwept.substr(0, kSwept.size() - 6) + "3",
                  "line 10, column 1: expected a trace declaration, VALUE or END, found number 3"},
        ErrorCase{"name_out_of_order", kSwept + "\"f\" 1\n\"v\" (1 2)\n\"f\" 2\n\"w\" (1 2)\nEND\n",
                  "line 14, column 1: expected name \"v\" (point 2), found string \"w\""},
        ErrorCase{"name_missing", kSwept + "\"f\" 1\n\"v\" (1 2)\n\"f\" 2\nEND\n",
                  "line 14, column 1: expected name \"v\" (point 2), found keyword END"},
        ErrorCase{"property_after_item", kSwept + "\"f\" 1 PROP( )\n",
                  "line 11, column 7: expected name \"v\" (point 1), found keyword PROP"},
        ErrorCase{"point_cut", kSwept + "\"f\" 1\n\"v\" (1",
                  "line 12, column 7: expected a number, found end of file"},
        ErrorCase{"complex_unclosed", kSwept + "\"f\" 1\n\"v\" (1 2 3)",
                  "line 12, column 10: expected ')', found number 3"},
        ErrorCase{"complex_without_paren", kSwept + "\"f\" 1\n\"v\" 1",
                  "line 12, column 5: expected '(' of a complex value, found number 1"},
        ErrorCase{"sweep_value_string", kSwept + "\"f\" \"1\"",
                  "line 11, column 5: expected a number, found string \"1\""},
        ErrorCase{"swept_then_junk", kSwept + "\"f\" 1\n\"v\" (1 2)\n(",
                  "line 13, column 1: expected name \"f\" or END, found '('"},
        ErrorCase{"swept_no_end", kSwept + "\"f\" 1\n\"v\" (1 2)\n", "line 13, column 1: file ends before END"},
        ErrorCase{"types_no_end", kTypes + "\"s\" FLOAT DOUBLE\n", "line 2, column 1: file ends before END"},
        ErrorCase{"text_after_end", "HEADER END\n\n  END", "line 3, column 3: text after END"},
        ErrorCase{"utf8_after_end", "HEADER END \"\xc0\"", "line 1, column 13: invalid UTF-8"},
        ErrorCase{"entry_type_undefined", kTypes + "\"s\" FLOAT DOUBLE VALUE \"v\" \"x\" 1 END",
                  "line 1, column 40: type \"x\" is not defined in the TYPE section"},
        ErrorCase{"entry_type_missing", kTypes + "\"s\" FLOAT DOUBLE VALUE \"v\" 1 END",
                  "line 1, column 40: expected a type name, found number 1"},
        ErrorCase{"entry_string_wanted", kTypes + "\"s\" STRING * VALUE \"v\" \"s\" 1 END",
                  "line 1, column 40: expected a string, found number 1"},
        ErrorCase{"struct_too_few", kTypes + "\"s\" STRUCT(\"a\" FLOAT DOUBLE \"b\" FLOAT DOUBLE) VALUE "
                  "\"v\" \"s\" (1) END",
                  "line 1, column 75: expected a number, found ')'"},
        ErrorCase{"struct_too_many", kTypes + "\"s\" STRUCT(\"a\" FLOAT DOUBLE) VALUE \"v\" \"s\" (1 2) END",
                  "line 1, column 59: expected ')' after the last member, found number 2"},
        ErrorCase{"array_unclosed", kTypes + "\"s\" ARRAY(*) STRING * VALUE \"v\" \"s\" (\"a\"",
                  "line 1, column 53: expected a string, found end of file"},
        ErrorCase{"array_without_paren_value", kTypes + "\"s\" ARRAY(*) STRING * VALUE \"v\" \"s\" \"a\"",
                  "line 1, column 49: expected '(' of an array value, found string \"a\""},
        ErrorCase{"entry_complex_cut", kTypes + "\"c\" COMPLEX DOUBLE VALUE \"v\" \"c\" (1 x)",
                  "line 1, column 49: unexpected text 'x'"},
        ErrorCase{"entries_then_junk", kTypes + "\"s\" FLOAT DOUBLE VALUE \"v\" \"s\" 1 2",
                  "line 1, column 46: expected an entry or END, found number 2"},
        ErrorCase{"tab_is_one_column", "HEADER\n\t\t\xc3\xa9 ", "line 2, column 3: unexpected text '\xc3\xa9'"},
        ErrorCase{"exponent_cut", "HEADER \"a\" 1E", "line 1, column 12: unexpected text '1E'"},
        ErrorCase{"exponent_then_letter", "HEADER \"a\" 1e5x", "line 1, column 12: unexpected text '1e5x'"},
        ErrorCase{"exponent_without_digits", "HEADER \"a\" 1e+", "line 1, column 12: unexpected text '1e+'"},
        ErrorCase{"utf8_surrogate", "HEADER \"\xed\xa0\x80\"", "line 1, column 9: invalid UTF-8"},
        ErrorCase{"utf8_above_max", "HEADER \"\xf4\x90\x80\x80\"", "line 1, column 9: invalid UTF-8"},
        ErrorCase{"utf8_overlong", "HEADER \"\xf0\x80\x80\x80\"", "line 1, column 9: invalid UTF-8"},
        ErrorCase{"utf8_continuation_missing", "HEADER \"\xe2\x82(\"", "line 1, column 9: invalid UTF-8"},
        ErrorCase{"escape_at_end", "HEADER \"a\\", "line 1, column 8: unterminated string"},
        ErrorCase{"double_alone", kTypes + "\"t\" DOUBLE",
                  "line 1, column 17: expected a type (FLOAT, COMPLEX, STRING, ARRAY, STRUCT or INT), "
                  "found keyword DOUBLE"},
        ErrorCase{"nested_array_in_member", kTypes + "\"a\" STRUCT( \"m\" ARRAY(*) ARRAY(*) STRING * )",
                  "line 1, column 38: nested array is not supported"},
        ErrorCase{"struct_trace_complex_member",
                  kTypes + "\"s\" FLOAT DOUBLE \"t\" STRUCT(\"m\" COMPLEX DOUBLE \"n\" FLOAT DOUBLE) SWEEP "
                  "\"a\" \"s\" TRACE \"b\" \"t\"",
                  "line 1, column 102: trace of type \"t\" is not supported"},
        ErrorCase{"entry_complex_short", kTypes + "\"c\" COMPLEX DOUBLE VALUE \"v\" \"c\" (1 ) END",
                  "line 1, column 49: expected a number, found ')'"},
        ErrorCase{"long_word_cut",
                  "HEADER " + std::string(70, 'x'),
                  "line 1, column 8: unexpected text '" + std::string(60, 'x') + "...'"}));

}  // namespace
