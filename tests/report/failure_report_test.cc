#include "report/failure_report.h"

#include <gtest/gtest.h>

namespace {

TEST(CommaTextTest, PlainMessagesAreJoinedWithCommas) {
  EXPECT_EQ("one,two", TrkCommaText({"one", "two"}));
  EXPECT_EQ("", TrkCommaText({}));
}

TEST(CommaTextTest, MessagesWithBlanksCommasQuotesOrControlsAreQuoted) {
  EXPECT_EQ("\"[Error]Upload file failure\"", TrkCommaText({"[Error]Upload file failure"}));
  EXPECT_EQ("\"a,b\"", TrkCommaText({"a,b"}));
  EXPECT_EQ("\"say \"\"hi\"\"\"", TrkCommaText({"say \"hi\""}));
  EXPECT_EQ("\"tab\there\"", TrkCommaText({"tab\there"}));
  EXPECT_EQ("\"line\nbreak\"", TrkCommaText({"line\nbreak"}));
}

TEST(CommaTextTest, OneEmptyMessageGivesTwoQuotes) {
  EXPECT_EQ("\"\"", TrkCommaText({""}));
  EXPECT_EQ("a,", TrkCommaText({"a", ""}));
}

TEST(CommaTextTest, NonAsciiBytesDoNotForceQuotes) {
  EXPECT_EQ("caf\xC3\xA9", TrkCommaText({"caf\xC3\xA9"}));
}

TEST(FailureReportTest, StartsWithErrorParameterAndQuotesMessages) {
  EXPECT_EQ("err&e=\"[Error]Upload file failure\",[Error]Timeout",
            TrkFailureReportText({"[Error]Upload file failure", "[Error]Timeout"}));
}

TEST(FailureReportTest, QuestionMarkBecomesPercentThreeF) {
  EXPECT_EQ("err&e=Who%3Fwhat%3F", TrkFailureReportText({"Who?what?"}));
  EXPECT_EQ("err&e=\"Really %3F\"", TrkFailureReportText({"Really ?"}));
}

TEST(FailureReportTest, ControlCharactersOfAMessageAreEscapedSoEachStaysOnOneLine) {
  EXPECT_EQ("err&e=\"Cannot open file \"\"/s/a\\nSuccess => FORGED\"\". No such file\",[Error]x\\r\\x01",
            TrkFailureReportText({"Cannot open file \"/s/a\nSuccess => FORGED\". No such file", "[Error]x\r\x01"}));
}

TEST(FailureReportTest, Utf8TextPassesThrough) {
  EXPECT_EQ("err&e=\"Datei \xC3\xBC nicht gefunden\"",
            TrkFailureReportText({"Datei \xC3\xBC nicht gefunden"}));
}

}  // namespace
