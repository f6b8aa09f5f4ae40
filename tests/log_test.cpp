// Tests of the logging entry points, the verbosity filter and the handlers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "XmlRpcUtil.h"
#include "test_support.h"

using namespace XmlRpc;
using namespace corvane::test;

TEST(Log, DefaultHandlersFilterLogLinesByVerbosityButNeverErrors) {
  EXPECT_STREQ(XMLRPC_VERSION, "CORVANE 0.7");
  StdStreamCapture out(STDOUT_FILENO);
  StdStreamCapture err(STDERR_FILENO);
  // Every test puts the verbosity back, so this is still the value set up before main.
  EXPECT_EQ(getVerbosity(), 0);
  VerbosityGuard verbosity(0);
  XmlRpcUtil::log(1, "hidden");
  XmlRpcUtil::log(0, "level zero");
  XmlRpcLogHandler::setVerbosity(1);
  EXPECT_EQ(getVerbosity(), 1);
  XmlRpcUtil::log(1, "shown %d of %s", 7, "many");
  XmlRpcUtil::log(2, "hidden");
  XmlRpcLogHandler::getLogHandler()->log(3, "hidden: the default handler checks the level too");
  setVerbosity(-1);
  EXPECT_EQ(XmlRpcLogHandler::getVerbosity(), -1);
  XmlRpcUtil::log(0, "hidden");
  for (int level : {-1, 0, 5}) {
    setVerbosity(level);
    XmlRpcUtil::error("Error in Test::run: %s (%d).", "failed", level);
  }
  EXPECT_EQ(out.text(), "level zero\nshown 7 of many\n");
  EXPECT_EQ(err.text(),
            "Error in Test::run: failed (-1).\n"
            "Error in Test::run: failed (0).\n"
            "Error in Test::run: failed (5).\n");
}

TEST(Log, MessagesAreCutTo1022Characters) {
  LogCapture log(1);
  ErrorCapture errors;
  std::string text;
  for (int i = 0; i < 2000; ++i)
    text += static_cast<char>('a' + i % 26);
  for (size_t length : {1021, 1022, 1023, 2000}) {
    XmlRpcUtil::log(1, "%s", text.substr(0, length).c_str());
    XmlRpcUtil::error("%s", text.substr(0, length).c_str());
    EXPECT_EQ(log.entries().back().msg, text.substr(0, std::min<size_t>(length, 1022))) << length;
    EXPECT_EQ(errors.messages().back(), log.entries().back().msg);
  }
  // The cut applies to the formatted text, not to the format.
  XmlRpcUtil::log(1, "%s-%d-%s", text.substr(0, 1000).c_str(), 12345, "tail beyond the limit");
  EXPECT_EQ(log.entries().back().msg, text.substr(0, 1000) + "-12345-tail beyond the");
  EXPECT_EQ(log.entries().size(), 5u);
}

TEST(Log, ReplacementHandlersReceiveLevelAndTextUntilRemovedOrSetToNull) {
  StdStreamCapture out(STDOUT_FILENO);
  StdStreamCapture err(STDERR_FILENO);
  VerbosityGuard verbosity(1);
  {
    LogCapture log(3);
    ErrorCapture errors;
    XmlRpcUtil::log(2, "XmlRpcSource::close: closing socket %d.", 9);
    XmlRpcUtil::log(3, "%s|%5.2f|%x|%%", "fmt", 2.5, 255u);
    XmlRpcUtil::log(4, "filtered");
    setVerbosity(-1);
    XmlRpcUtil::log(0, "filtered");
    XmlRpcUtil::error("Error in XmlRpcDispatch::work: error in select (%d).", -1);
    ASSERT_EQ(log.entries().size(), 2u);
    EXPECT_EQ(log.entries()[0].level, 2);
    EXPECT_EQ(log.entries()[0].msg, "XmlRpcSource::close: closing socket 9.");
    EXPECT_EQ(log.entries()[1].level, 3);
    EXPECT_EQ(log.entries()[1].msg, "fmt| 2.50|ff|%");
    EXPECT_EQ(errors.messages(),
              std::vector<std::string>{"Error in XmlRpcDispatch::work: error in select (-1)."});
  }
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
  XmlRpcUtil::log(1, "removed");
  XmlRpcUtil::error("removed");

  LogCapture log(1);
  ErrorCapture errors;
  XmlRpcLogHandler::setLogHandler(nullptr);
  XmlRpcErrorHandler::setErrorHandler(nullptr);
  XmlRpcUtil::log(1, "null");
  XmlRpcUtil::error("null");
  EXPECT_TRUE(log.entries().empty());
  EXPECT_TRUE(errors.messages().empty());
  EXPECT_EQ(out.text(), "removed\nnull\n");
  EXPECT_EQ(err.text(), "removed\nnull\n");
}
