// The runner's pure pieces, called directly: time formats, text made safe
// for XML, the option rules, and the packet suite's byte comparison texts.
#include <gtest/gtest.h>

#include <pugixml.hpp>

#include "CommandLine.h"
#include "ReportText.h"
#include "TestRunner.h"
#include "test_MQTTPackets.h"

using namespace qor;
using namespace std::chrono_literals;

namespace {

std::string FailureText(const std::function<void()>& AAssertion) {
  try {
    AAssertion();
  } catch (const EAssertionFailedError& e) {
    return e.Message();
  }
  return "(passed)";
}

}  // namespace

TEST(TimeFormat, PlainCarriesOverflowInTheLeadingField) {
  EXPECT_EQ(FormatElapsedPlain(0ms), "00.000");
  EXPECT_EQ(FormatElapsedPlain(1234ms), "01.234");
  EXPECT_EQ(FormatElapsedPlain(59999ms), "59.999");
  EXPECT_EQ(FormatElapsedPlain(90s), "90.000");  // under two minutes: seconds only
  EXPECT_EQ(FormatElapsedPlain(119999ms), "119.999");
  EXPECT_EQ(FormatElapsedPlain(125s), "02:05.000");
  EXPECT_EQ(FormatElapsedPlain(60min + 30s), "60:30.000");  // under 61 minutes: no hours
  EXPECT_EQ(FormatElapsedPlain(61min + 5s + 7ms), "01:01:05.007");
  EXPECT_EQ(FormatElapsedPlain(26h), "26:00:00.000");
}

TEST(TimeFormat, XmlIsAlwaysHoursMinutesSeconds) {
  EXPECT_EQ(FormatElapsedXML(0ms), "00:00:00.000");
  EXPECT_EQ(FormatElapsedXML(3723004ms), "01:02:03.004");
  EXPECT_EQ(FormatElapsedXML(25h), "25:00:00.000");
}

TEST(TextSafety, XmlSafeTextKeepsValidUtf8AndMarksTheRest) {
  EXPECT_EQ(XmlSafeText("plain <&> \"text\"\t\n\r"), "plain <&> \"text\"\t\n\r");
  EXPECT_EQ(XmlSafeText("\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"), "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(XmlSafeText(std::string("a\x00" "b\x1F", 4)), "a\\x00b\\x1F");
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(XmlSafeText("\xFF"), replacement);
  EXPECT_EQ(XmlSafeText("\xC3"), replacement);                  // truncated sequence
  EXPECT_EQ(XmlSafeText("\xC0\xAF"), replacement + replacement);  // overlong
  EXPECT_EQ(XmlSafeText("\xED\xA0\x80"), replacement + replacement + replacement);  // surrogate
  EXPECT_EQ(XmlSafeText("\xEF\xBF\xBF"), replacement + replacement + replacement);  // U+FFFF

  // Every byte value inside an element and an attribute still parses.
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  pugi::xml_document doc;
  auto node = doc.append_child("r");
  node.append_attribute("a").set_value(XmlSafeText(all).c_str());
  node.text().set(XmlSafeText(all).c_str());
  std::ostringstream out;
  doc.save(out);
  pugi::xml_document back;
  EXPECT_TRUE(back.load_string(out.str().c_str()));
}

TEST(TextSafety, LatexEscapeMakesSpecialsLiteral) {
  EXPECT_EQ(LatexEscape("Test_A"), "Test\\_A");
  EXPECT_EQ(LatexEscape("{$&#%^~\\}"),
            "\\{\\$\\&\\#\\%\\textasciicircum{}\\textasciitilde{}\\textbackslash{}\\}");
  EXPECT_EQ(LatexEscape("a\nb"), "a b");
}

TEST(Options, CheckAndLookupDiffer) {
  const auto longs = ParseLongOptions({"all", "list", "suite:", "format:"});
  EXPECT_EQ(CheckOptions({"-al"}, "alhp", longs), "");
  EXPECT_FALSE(FindOption({"-al"}, 'a', "all"));
  EXPECT_TRUE(FindOption({"-all"}, 'a', "all"));
  EXPECT_TRUE(FindOption({"-a"}, 'a', "all"));
  EXPECT_EQ(CheckOptions({"-", "plain", "--format=x=y"}, "alhp", longs), "");
  EXPECT_EQ(FindOption({"--format=x=y"}, 0, "format"), "x=y");
  EXPECT_EQ(FindOption({"--suite=", "--suite=a,b"}, 0, "suite"), "a,b");
  EXPECT_EQ(FindOption({"--suite=a,b", "--suite="}, 0, "suite"), "");
  EXPECT_FALSE(FindOption({"--formatx=1"}, 0, "format"));
  EXPECT_FALSE(FindOption({"format=plain"}, 0, "format"));
}

TEST(Options, AMebibyteArgument) {
  const std::string huge(1 << 20, 'z');
  const auto longs = ParseLongOptions(TTestRunner::LongOptionTable());
  EXPECT_EQ(CheckOptions({"--suite=" + huge}, "alhp", longs), "");
  EXPECT_EQ(FindOption({"--suite=" + huge}, 0, "suite"), huge);
  EXPECT_EQ(CheckOptions({"-" + huge}, "alhp", longs), "Invalid option at position 1: \"z\"");
  EXPECT_EQ(CheckOptions({"--" + huge}, "alhp", longs), "Invalid option at position 1: \"" + huge + "\"");
  EXPECT_THROW(ParseFormat(huge), Exception);
}

TEST(Options, FormatNames) {
  EXPECT_EQ(ParseFormat("LaTeX"), fLatex);
  EXPECT_EQ(ParseFormat("plainNoTiming"), fPlainNoTiming);
  EXPECT_EQ(ParseFormat("xml"), fXML);
  EXPECT_EQ(ParseFormat("PLAIN"), fPlain);
  try {
    ParseFormat("Html");
    FAIL() << "no error raised";
  } catch (const Exception& e) {
    EXPECT_EQ(e.ClassName(), "EConvertError");
    EXPECT_EQ(e.Message(), "Not a valid output format : \"Html\"");
  }
  EXPECT_THROW(ParseFormat(""), Exception);
}

TEST(Assertions, ComparisonTextsQuoteTheMessage) {
  EXPECT_EQ(FailureText([] { TTestCase::AssertEquals("Value", 42, 43); }),
            "\"Value\" expected: <42> but was: <43>");
  EXPECT_EQ(FailureText([] {
              TTestCase::AssertEquals("Big", int64_t{268435455}, int64_t{-1});
            }),
            "\"Big\" expected: <268435455> but was: <-1>");
  EXPECT_EQ(FailureText([] { TTestCase::AssertEquals("S", std::string("a"), std::string("b")); }),
            "\"S\" expected: <a> but was: <b>");
  EXPECT_EQ(FailureText([] { TTestCase::AssertTrue("must hold", false); }), "must hold");
  EXPECT_EQ(FailureText([] { TTestCase::AssertFalse("must not hold", true); }), "must not hold");
  EXPECT_EQ(FailureText([] { TTestCase::AssertTrue("fine", true); }), "(passed)");
}

TEST(PacketSuiteHelpers, BytesToHexAndAssertBytesEqualTexts) {
  EXPECT_EQ(TMQTTPacketTests::BytesToHex({0x80, 0x01}), "$80 $01");
  EXPECT_EQ(TMQTTPacketTests::BytesToHex({0x0A}), "$0A");
  EXPECT_EQ(TMQTTPacketTests::BytesToHex({}), "(empty)");

  EXPECT_EQ(FailureText([] {
              TMQTTPacketTests::AssertBytesEqual({0x80, 0x01}, {0x00}, "EncodeVarInt(128)");
            }),
            "\"Length mismatch [EncodeVarInt(128)]: expected 2 bytes ($80 $01), got 1 bytes ($00)\""
            " expected: <2> but was: <1>");
  EXPECT_EQ(FailureText([] {
              TMQTTPacketTests::AssertBytesEqual({0x80, 0x01}, {0x80, 0x02}, "EncodeVarInt(128)");
            }),
            "\"Byte[1] [EncodeVarInt(128)] expected $01 got $02\" expected: <1> but was: <2>");
  EXPECT_EQ(FailureText([] { TMQTTPacketTests::AssertBytesEqual({0x00}, {0x80, 0x01}, ""); }),
            "\"Length mismatch: expected 1 bytes ($00), got 2 bytes ($80 $01)\" expected: <1> but "
            "was: <2>");
  EXPECT_EQ(FailureText([] { TMQTTPacketTests::AssertBytesEqual({0x00}, {0x01}, ""); }),
            "\"Byte[0] expected $00 got $01\" expected: <0> but was: <1>");
  EXPECT_EQ(FailureText([] { TMQTTPacketTests::AssertBytesEqual({}, {}, "x"); }), "(passed)");
  // A context of any length reaches the message whole.
  const std::string context(300, 'c');
  EXPECT_EQ(FailureText([&] { TMQTTPacketTests::AssertBytesEqual({0x01}, {0x02}, context); }),
            "\"Byte[0] [" + context + "] expected $01 got $02\" expected: <1> but was: <2>");
}
