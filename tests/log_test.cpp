// Tests of the logging entry points, the verbosity filter and the handlers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "XmlRpcUtil.h"
#include "test_support.h"

using namespace XmlRpc;
using corvane::test::ErrorCapture;
using corvane::test::LogCapture;
using corvane::test::StdStreamCapture;
using corvane::test::VerbosityGuard;

namespace {

// The longest text that reaches a handler.
constexpr size_t MAX_MESSAGE = 1022;

std::string pattern(size_t length) {
  std::string s;
  for (size_t i = 0; i < length; ++i)
    s += static_cast<char>('a' + i % 26);
  return s;
}

}  // namespace

TEST(Log, DefaultHandlerPrintsOnlyLevelsUpToTheVerbosity) {
  StdStreamCapture out(STDOUT_FILENO);
  StdStreamCapture err(STDERR_FILENO);
  // Every test puts the verbosity back, so this is still the value set up before main.
  EXPECT_EQ(getVerbosity(), 0);
  VerbosityGuard verbosity(0);

  XmlRpcUtil::log(1, "hidden %d", 1);
  EXPECT_EQ(out.text(), "");

  setVerbosity(1);
  EXPECT_EQ(XmlRpcLogHandler::getVerbosity(), 1);
  XmlRpcUtil::log(1, "shown %d of %s", 7, "many");
  XmlRpcUtil::log(2, "hidden %d", 2);
  EXPECT_EQ(out.text(), "shown 7 of many\n");
  EXPECT_EQ(err.text(), "");
}

TEST(Log, LevelZeroPassesAtVerbosityZero) {
  StdStreamCapture out(STDOUT_FILENO);
  VerbosityGuard verbosity(0);
  XmlRpcUtil::log(0, "level zero");
  EXPECT_EQ(out.text(), "level zero\n");
}

TEST(Log, DefaultLogHandlerChecksTheLevelAgain) {
  StdStreamCapture out(STDOUT_FILENO);
  VerbosityGuard verbosity(1);
  XmlRpcLogHandler::getLogHandler()->log(3, "too verbose");
  XmlRpcLogHandler::getLogHandler()->log(1, "fine");
  EXPECT_EQ(out.text(), "fine\n");
}

TEST(Log, DefaultErrorHandlerPrintsEveryErrorOnStandardError) {
  StdStreamCapture out(STDOUT_FILENO);
  StdStreamCapture err(STDERR_FILENO);
  for (int level : {-1, 0, 5}) {
    VerbosityGuard verbosity(level);
    XmlRpcUtil::error("Error in Test::run: %s (%d).", "failed", level);
  }
  EXPECT_EQ(err.text(),
            "Error in Test::run: failed (-1).\n"
            "Error in Test::run: failed (0).\n"
            "Error in Test::run: failed (5).\n");
  EXPECT_EQ(out.text(), "");
}

TEST(Log, NegativeVerbositySuppressesEvenLevelZeroButNotErrors) {
  StdStreamCapture out(STDOUT_FILENO);
  StdStreamCapture err(STDERR_FILENO);
  {
    VerbosityGuard verbosity(-1);
    EXPECT_EQ(getVerbosity(), -1);
    XmlRpcUtil::log(0, "level zero");
    XmlRpcUtil::error("still reported");
  }
  {
    LogCapture log(-1);
    XmlRpcUtil::log(0, "level zero");
    EXPECT_TRUE(log.entries().empty());
  }
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "still reported\n");
}

TEST(Log, MessagesAreCutTo1022Characters) {
  LogCapture log(1);
  ErrorCapture errors;
  for (size_t length : {MAX_MESSAGE - 1, MAX_MESSAGE, MAX_MESSAGE + 1, size_t{2000}}) {
    SCOPED_TRACE(length);
    std::string text = pattern(length);
    std::string expected = text.substr(0, MAX_MESSAGE);
    log.clear();
    XmlRpcUtil::log(1, "%s", text.c_str());
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].msg, expected);

    XmlRpcUtil::error("%s", text.c_str());
    EXPECT_EQ(errors.messages().back(), expected);
  }
}

TEST(Log, CutAppliesToTheFormattedText) {
  LogCapture log(1);
  std::string head = pattern(1000);
  XmlRpcUtil::log(1, "%s-%d-%s", head.c_str(), 12345, "tail beyond the limit");
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].msg, head + "-12345-tail beyond the");
}

TEST(Log, ReplacementLogHandlerReceivesLevelAndTextAndStdoutStaysEmpty) {
  StdStreamCapture out(STDOUT_FILENO);
  {
    LogCapture log(3);
    XmlRpcUtil::log(2, "XmlRpcSource::close: closing socket %d.", 9);
    XmlRpcUtil::log(3, "%s|%5.2f|%x|%%", "fmt", 2.5, 255u);
    XmlRpcUtil::log(4, "filtered");
    ASSERT_EQ(log.entries().size(), 2u);
    EXPECT_EQ(log.entries()[0].level, 2);
    EXPECT_EQ(log.entries()[0].msg, "XmlRpcSource::close: closing socket 9.");
    EXPECT_EQ(log.entries()[1].level, 3);
    EXPECT_EQ(log.entries()[1].msg, "fmt| 2.50|ff|%");
  }
  EXPECT_EQ(out.text(), "");
}

TEST(Log, ReplacementErrorHandlerReceivesTextAndStderrStaysEmpty) {
  StdStreamCapture err(STDERR_FILENO);
  {
    ErrorCapture errors;
    XmlRpcUtil::error("Error in XmlRpcDispatch::work: error in select (%d).", -1);
    ASSERT_EQ(errors.messages().size(), 1u);
    EXPECT_EQ(errors.messages()[0], "Error in XmlRpcDispatch::work: error in select (-1).");
  }
  EXPECT_EQ(err.text(), "");
}

TEST(Log, RemovedReplacementHandlersGiveWayToTheDefaults) {
  StdStreamCapture out(STDOUT_FILENO);
  StdStreamCapture err(STDERR_FILENO);
  VerbosityGuard verbosity(1);
  { LogCapture log(1); }
  { ErrorCapture errors; }
  XmlRpcUtil::log(1, "back on stdout");
  XmlRpcUtil::error("back on stderr");
  EXPECT_EQ(out.text(), "back on stdout\n");
  EXPECT_EQ(err.text(), "back on stderr\n");
}

TEST(Log, NullHandlersAreReplacedByTheDefaults) {
  StdStreamCapture out(STDOUT_FILENO);
  StdStreamCapture err(STDERR_FILENO);
  LogCapture log(1);
  ErrorCapture errors;
  XmlRpcLogHandler::setLogHandler(nullptr);
  XmlRpcErrorHandler::setErrorHandler(nullptr);
  ASSERT_NE(XmlRpcLogHandler::getLogHandler(), nullptr);
  ASSERT_NE(XmlRpcErrorHandler::getErrorHandler(), nullptr);
  XmlRpcUtil::log(1, "to stdout");
  XmlRpcUtil::error("to stderr");
  EXPECT_TRUE(log.entries().empty());
  EXPECT_TRUE(errors.messages().empty());
  EXPECT_EQ(out.text(), "to stdout\n");
  EXPECT_EQ(err.text(), "to stderr\n");
}

TEST(Log, VerbosityIsOneSettingReachedTwoWays) {
  VerbosityGuard verbosity(0);
  XmlRpcLogHandler::setVerbosity(4);
  EXPECT_EQ(getVerbosity(), 4);
  setVerbosity(2);
  EXPECT_EQ(XmlRpcLogHandler::getVerbosity(), 2);
}

TEST(Log, VersionBannerNamesCorvane) {
  EXPECT_STREQ(XMLRPC_VERSION, "CORVANE 0.7");
}
