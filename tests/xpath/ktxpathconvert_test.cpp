// The XPath value conversions: number to string and back, string values of
// nodes, boolean and round.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "ktxpathtest_util.h"
#include "xpath/ktxpathfunctionlibrary.h"

namespace {

using Lib = KTXPathFunctionLibrary;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string NumberText(double x) {
  KTString out;
  return U8(Lib::NumberToString(x, out));
}

TEST(KTXPathConvertTest, NumberToString) {
  struct Case {
    double number;
    std::string text;
  } cases[] = {
      {kNaN, "NaN"},
      {kInf, "Infinity"},
      {-kInf, "-Infinity"},
      {0.0, "0"},
      {-0.0, "0"},
      {1, "1"},
      {-1, "-1"},
      {0.1, "0.1"},
      {123.456, "123.456"},
      {-2.5, "-2.5"},
      {0.1 + 0.2, "0.3"},
      {1e20, "100000000000000000000"},
      {1.0 / 3, "0.3333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {0.5, "0.5"},
      {1000000, "1000000"},
      {0.0000001, "0.0000001"},
      {-0.0000001, "-0.0000001"},
      {123456789012345680.0, "123456789012345680"},
      {1.5e-300, "0." + std::string(299, '0') + "15"},
      {std::ldexp(1.0, 60), "1152921504606846976"},
      // Whole numbers on either side of 2^53, where digits are read off the
      // integer below and formatted above.
      {42, "42"},
      {-7, "-7"},
      {123456789012345, "123456789012345"},
      {1e15, "1000000000000000"},
      {-1e15, "-1000000000000000"},
      {9007199254740991.0, "9007199254740991"},
      {-9007199254740991.0, "-9007199254740991"},
      {9007199254740992.0, "9007199254740992"},
      {9007199254740994.0, "9007199254740994"},
      {-9007199254740994.0, "-9007199254740994"},
      {1e14 + 0.5, "100000000000000.5"},
      {-1e14 - 0.5, "-100000000000000.5"},
  };
  for (const Case& c : cases) EXPECT_EQ(NumberText(c.number), c.text) << c.number;
  // The largest double: 309 digits, no exponent.
  std::string max = NumberText(std::numeric_limits<double>::max());
  EXPECT_EQ(max.size(), 309u);
  EXPECT_EQ(max.substr(0, 17), "17976931348623157");
  // The smallest subnormal is written out in full.
  std::string min = NumberText(std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(min.substr(0, 2), "0.");
  EXPECT_EQ(min.find_first_not_of('0', 2), 325u);
}

TEST(KTXPathConvertTest, StringToNumber) {
  struct Case {
    std::u16string text;
    double number;  // NaN where NaN is expected
  } cases[] = {
      {u"12", 12},          {u" 12 ", 12},     {u"\t\r\n5\n", 5},    {u"-5", -5},
      {u"5.", 5},           {u".5", 0.5},      {u"-.5", -0.5},        {u"5.25", 5.25},
      {u"007", 7},          {u"-0", -0.0},     {u"1 2", kNaN},        {u"", kNaN},
      {u"   ", kNaN},       {u".", kNaN},      {u"-", kNaN},          {u"- 5", kNaN},
      {u"1e2", kNaN},       {u"+5", kNaN},     {u"1\r2", kNaN},       {u"5a", kNaN},
      {u"0x10", kNaN},      {u"1.2.3", kNaN},  {u"--1", kNaN},        {u"\u00A05", kNaN},
      {u"Infinity", kNaN},  {u"NaN", kNaN},    {u"\u0661", kNaN},
      {u"1" + std::u16string(400, u'0'), kInf},
      {u"-1" + std::u16string(400, u'0') + u".5", -kInf},
      {u"0." + std::u16string(400, u'0') + u"1", 0.0},
      {u"0.1000000000000000055511151231257827", 0.1},
      {u"123456789012345", 123456789012345.0}, {u"-000000000000001", -1},
      {u"9007199254740993", 9007199254740992.0}, {u"12345678901234567890", 12345678901234567890.0},
  };
  for (const Case& c : cases) {
    double got = Lib::StringToNumber(c.text);
    std::string shown = KTUtf16ToUtf8(c.text).substr(0, 40);
    if (std::isnan(c.number)) {
      EXPECT_TRUE(std::isnan(got)) << "'" << shown << "' gave " << got;
    } else {
      EXPECT_EQ(got, c.number) << "'" << shown << "'";
      EXPECT_EQ(std::signbit(got), std::signbit(c.number)) << "'" << shown << "'";
    }
  }
}

TEST(KTXPathConvertTest, RoundDouble) {
  struct Case {
    double in;
    double out;
  } cases[] = {
      {2.5, 3},    {-2.5, -2},  {-0.5, -0.0},     {-0.2, -0.0},   {-0.4, -0.0}, {0.5, 1},
      {0.4, 0},    {-1.5, -1},  {-1.6, -2},       {1e300, 1e300}, {kInf, kInf}, {-kInf, -kInf},
      {-0.0, -0.0}, {0.49999999999999994, 0},     {4503599627370497.0, 4503599627370497.0},
  };
  for (const Case& c : cases) {
    double got = Lib::RoundDouble(c.in);
    EXPECT_EQ(got, c.out) << c.in;
    EXPECT_EQ(std::signbit(got), std::signbit(c.out)) << c.in;
  }
  EXPECT_TRUE(std::isnan(Lib::RoundDouble(kNaN)));
  EXPECT_EQ(NumberText(Lib::RoundDouble(-0.4)), "0");
}

TEST(KTXPathConvertTest, StringValuesOfNodes) {
  KTTestTree tree;
  KTXPathNode* doc = tree.Element(nullptr, u"doc");
  KTXPathNode* attr = tree.Attribute(doc, u"id", u"attr-value");
  tree.Text(doc, u"a");
  KTXPathNode* inner = tree.Element(doc, u"b");
  tree.Attribute(inner, u"x", u"skipped");
  tree.Text(inner, u"b");
  tree.Add(inner, kXPathComment, nullptr, u"not text");
  tree.Add(inner, kXPathCData, nullptr, u"<c>");
  KTXPathNode* deep = inner;
  for (int i = 0; i < 20000; ++i) deep = tree.Element(deep, u"d");
  tree.Text(deep, u"!");
  KTXPathNode* pi = tree.Add(doc, kXPathPI, u"target", u"data");
  tree.Text(doc, u"e");

  EXPECT_EQ(U8(Lib::ToString(NodeSet({tree.Root()}))), "ab<c>!e");
  EXPECT_EQ(U8(Lib::ToString(NodeSet({inner}))), "b<c>!");
  EXPECT_EQ(U8(Lib::ToString(NodeSet({attr}))), "attr-value");
  EXPECT_EQ(U8(Lib::ToString(NodeSet({pi}))), "data");
  // The first node in document order, not the first stored.
  EXPECT_EQ(U8(Lib::ToString(NodeSet({pi, attr}))), "attr-value");
  EXPECT_EQ(U8(Lib::ToString(KTXPathValue())), "");
  KTString out;
  EXPECT_EQ(U8(NodeSet({inner}).ToString(&out)), "b<c>!");

  // Large text gathers in linear time: 200000 text nodes of 50 characters.
  KTTestTree big;
  KTXPathNode* top = big.Element(nullptr, u"top");
  std::u16string chunk(50, u'x');
  for (int i = 0; i < 200000; ++i) big.Text(big.Element(top, u"i"), chunk.c_str());
  EXPECT_EQ(Lib::ToString(NodeSet({top})).GetLength(), 50 * 200000);
}

TEST(KTXPathConvertTest, BooleansAndNumbersOfValues) {
  KTTestTree tree;
  KTXPathNode* n = tree.TextElement(nullptr, u"n", u" 42 ");
  struct Case {
    KTXPathValue value;
    bool boolean;
    double number;
    std::string text;
  } cases[] = {
      {KTXPathValue(), false, kNaN, ""},
      {NodeSet({n}), true, 42, " 42 "},
      {KTXPathValue::Boolean(true), true, 1, "true"},
      {KTXPathValue::Boolean(false), false, 0, "false"},
      {KTXPathValue::Number(0.0), false, 0, "0"},
      {KTXPathValue::Number(-0.0), false, -0.0, "0"},
      {KTXPathValue::Number(kNaN), false, kNaN, "NaN"},
      {KTXPathValue::Number(-kInf), true, -kInf, "-Infinity"},
      {KTXPathValue::String(KTString(u"")), false, kNaN, ""},
      {KTXPathValue::String(KTString(u"0")), true, 0, "0"},
      {KTXPathValue::String(KTString(u"false")), true, kNaN, "false"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Lib::ToBoolean(c.value), c.boolean) << c.text;
    double got = Lib::ToNumber(c.value);
    if (std::isnan(c.number)) {
      EXPECT_TRUE(std::isnan(got)) << c.text;
    } else {
      EXPECT_EQ(got, c.number) << c.text;
    }
    EXPECT_EQ(U8(Lib::ToString(c.value)), c.text);
  }
  EXPECT_EQ(Lib::RoundNumber(KTXPathValue::String(KTString(u"2.5"))), 3);
}

}  // namespace
