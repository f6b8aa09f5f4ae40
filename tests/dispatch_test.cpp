// Tests of the event source base and the select() dispatcher on real descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "XmlRpcDispatch.h"
#include "XmlRpcSource.h"
#include "test_support.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

constexpr unsigned READABLE = XmlRpcDispatch::EventReadable;
constexpr unsigned WRITABLE = XmlRpcDispatch::EventWritable;
constexpr unsigned EXCEPTION = XmlRpcDispatch::EventException;

// Every handler call, close and destruction, across sources, in the order they happened.
using Journal = std::vector<std::string>;
using Masks = std::vector<unsigned>;

std::string eventName(unsigned e) {
  // More than one bit, or none, is a fault of the dispatcher and shows as such.
  return e == READABLE    ? "read"
         : e == WRITABLE  ? "write"
         : e == EXCEPTION ? "except"
                          : "bits" + std::to_string(e);
}

// A source that writes each call into a journal and answers as its reaction says.
// It owns its descriptor, which XmlRpcSource's destructor would leave open.
class ScriptedSource : public XmlRpcSource {
 public:
  ScriptedSource(std::string name, UniqueFd fd, Journal& journal, bool deleteOnClose = false)
      : XmlRpcSource(fd.release(), deleteOnClose), _name(std::move(name)), _journal(journal) {}
  ~ScriptedSource() override {
    _journal.push_back(_name + ":destroyed");
    if (getfd() >= 0) ::close(getfd());
  }

  ScriptedSource& react(std::function<unsigned(unsigned)> reaction) {
    _reaction = std::move(reaction);
    return *this;
  }
  ScriptedSource& answer(unsigned mask) {
    return react([mask](unsigned) { return mask; });
  }
  ScriptedSource& kept() {
    setKeepOpen(true);
    return *this;
  }

  unsigned handleEvent(unsigned eventType) override {
    _journal.push_back(_name + ":" + eventName(eventType));
    return _reaction ? _reaction(eventType) : eventType;
  }
  void close() override {
    _journal.push_back(_name + ":close");
    XmlRpcSource::close();
  }

 private:
  std::string _name;
  Journal& _journal;
  std::function<unsigned(unsigned)> _reaction;
};

// Lets the tests see the records: how many there are and with which masks.
class ObservableDispatch : public XmlRpcDispatch {
 public:
  size_t recordCount() const { return _sources.size(); }
  Masks masksOf(const XmlRpcSource* source) {
    Masks masks;
    for (MonitoredSource& record : _sources)
      if (record.getSource() == source) masks.push_back(record.getMask());
    return masks;
  }
  bool inWork() const { return _inWork; }
};

// How long the handler of the first pass takes in the timeout test.
constexpr double SLOW_PASS = 0.3;

// Well above the 1024 descriptors that an fd_set can hold.
constexpr int HIGH_FD = 1500;

}  // namespace

class Dispatch : public ::testing::Test {
 protected:
  // A source on one end of a new socket pair: always writable, and readable
  // too when `readable`. A delete-on-close source is not owned by the test.
  ScriptedSource& source(const char* name, bool readable = false, bool deleteOnClose = false) {
    FdPair pair = makeSocketPair();
    if (readable && ::write(pair.second.get(), "x", 1) != 1) throwErrno("write");
    _peers.push_back(std::move(pair.second));
    auto* s = new ScriptedSource(name, std::move(pair.first), journal, deleteOnClose);
    if (!deleteOnClose) _owned.emplace_back(s);
    return *s;
  }

  Journal journal;
  ObservableDispatch dispatch;

 private:
  std::vector<UniqueFd> _peers;
  std::vector<std::unique_ptr<ScriptedSource>> _owned;
};

TEST(Source, CloseClosesTheDescriptorOnceAndLogsAtLevelTwo) {
  struct Bare : XmlRpcSource {
    using XmlRpcSource::XmlRpcSource;
    unsigned handleEvent(unsigned) override { return 0; }
  };
  int fd = makeSocketPair().first.release();
  { Bare borrowing(fd); }
  EXPECT_TRUE(isOpen(fd)) << "the destructor leaves the descriptor open";
  Bare source(fd);
  LogCapture log(4);
  source.close();
  source.close();
  EXPECT_FALSE(isOpen(fd));
  EXPECT_EQ(source.getfd(), -1);
  std::string n = std::to_string(fd);
  EXPECT_EQ(log.messages(), (Journal{"XmlRpcSource::close: closing socket " + n + ".",
                                     "XmlRpcSocket::close: fd " + n + ".",
                                     "XmlRpcSource::close: done closing socket " + n + "."}));
  EXPECT_EQ(log.entries()[0].level, 2);
  EXPECT_EQ(log.entries()[2].level, 2);
}

TEST_F(Dispatch, CallsTheHandlerOnceForEachReadyEventBitInOrder) {
  // Urgent TCP data is the one real way to raise the exceptional condition.
  TcpPair tcp = makeTcpPair();
  ASSERT_EQ(::send(tcp.server.get(), "d", 1, 0), 1);
  ASSERT_EQ(::send(tcp.server.get(), "!", 1, MSG_OOB), 1);
  ASSERT_NE(waitFor(tcp.client.get(), POLLPRI) & POLLPRI, 0);
  ScriptedSource a("A", std::move(tcp.client), journal);
  a.kept().react([](unsigned e) { return e == EXCEPTION ? 0u : READABLE | WRITABLE | EXCEPTION; });
  dispatch.addSource(&a, READABLE | WRITABLE | EXCEPTION);
  dispatch.work(5.0);
  EXPECT_EQ(journal, (Journal{"A:read", "A:write", "A:except"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_TRUE(isOpen(a.getfd()));
}

TEST_F(Dispatch, WatchesOnlyTheMaskedEventsAndAnIdleSourceKeepsItsMask) {
  ScriptedSource& readOnly = source("A", true).answer(0);
  ScriptedSource& writeOnly = source("B", true).react([&](unsigned) {
    dispatch.exit();
    return READABLE;
  });
  ScriptedSource& idle = source("C", true);
  dispatch.addSource(&readOnly, READABLE);
  dispatch.addSource(&writeOnly, WRITABLE);
  dispatch.addSource(&idle, EXCEPTION);
  dispatch.work(5.0);
  EXPECT_EQ(journal, (Journal{"A:read", "A:close", "B:write"}));
  EXPECT_EQ(dispatch.masksOf(&writeOnly), Masks{READABLE});
  EXPECT_EQ(dispatch.masksOf(&idle), Masks{EXCEPTION});
}

TEST_F(Dispatch, StoresTheAndOfTheMasksReturnedInOnePass) {
  ScriptedSource& a = source("A", true).react([&](unsigned e) {
    if (e == READABLE) return READABLE | WRITABLE;
    dispatch.exit();
    return WRITABLE | EXCEPTION;
  });
  dispatch.addSource(&a, READABLE | WRITABLE);
  dispatch.work(5.0);
  EXPECT_EQ(journal, (Journal{"A:read", "A:write"}));
  EXPECT_EQ(dispatch.masksOf(&a), Masks{WRITABLE});

  // The stored mask rules the next pass: the unread byte no longer counts.
  a.kept().answer(0);
  dispatch.work(5.0);
  EXPECT_EQ(journal, (Journal{"A:read", "A:write", "A:write"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
}

TEST_F(Dispatch, ZeroFromAnyHandlerOfThePassRemovesTheSourceAndClosesItUnlessKeptOpen) {
  for (int run = 0; run < 4; ++run) {
    const bool zeroFirst = run & 1, keptOpen = run & 2;
    SCOPED_TRACE(run);
    journal.clear();
    ScriptedSource& a = source("A", true).react([zeroFirst](unsigned e) {
      return (e == READABLE) == zeroFirst ? 0u : READABLE | WRITABLE;
    });
    a.setKeepOpen(keptOpen);
    int fd = a.getfd();
    dispatch.addSource(&a, READABLE | WRITABLE);
    dispatch.work(5.0);
    EXPECT_EQ(journal,
              (keptOpen ? Journal{"A:read", "A:write"} : Journal{"A:read", "A:write", "A:close"}));
    EXPECT_EQ(dispatch.recordCount(), 0u);
    EXPECT_EQ(isOpen(fd), keptOpen);
    EXPECT_EQ(a.getfd(), keptOpen ? fd : -1);
  }
}

TEST_F(Dispatch, DeleteOnCloseSourceEndsByZeroMaskOrInItsOwnHandlerAndIsNotTouchedAgain) {
  for (bool closeItself : {false, true}) {
    SCOPED_TRACE(closeItself ? "closes itself" : "returns 0");
    journal.clear();
    ScriptedSource* self = &source("S", true, true);
    int fd = self->getfd();
    self->react([this, self, closeItself](unsigned) {
      if (closeItself) {
        dispatch.removeSource(self);
        self->close();  // deletes self
      }
      return 0u;
    });
    ScriptedSource& next = source("B").kept().answer(0);
    dispatch.addSource(self, READABLE | WRITABLE);
    dispatch.addSource(&next, WRITABLE);
    dispatch.work(5.0);
    // No write call after the source removed itself; the next source still gets its event.
    EXPECT_EQ(journal,
              (closeItself ? Journal{"S:read", "S:close", "S:destroyed", "B:write"}
                           : Journal{"S:read", "S:write", "S:close", "S:destroyed", "B:write"}));
    EXPECT_EQ(dispatch.recordCount(), 0u);
    EXPECT_FALSE(isOpen(fd));
  }
}

TEST_F(Dispatch, SourceMayRemoveAndRegisterItselfInsideItsHandler) {
  bool registeredAgain = false;
  ScriptedSource& a = source("A", true);
  a.react([&](unsigned) {
    // Only once, so that a dispatcher that served the new record at once cannot loop.
    if (!registeredAgain) {
      registeredAgain = true;
      dispatch.removeSource(&a);
      dispatch.addSource(&a, READABLE);
      dispatch.exit();
    }
    return 0u;
  });
  int fd = a.getfd();
  dispatch.addSource(&a, READABLE | WRITABLE);
  dispatch.work(5.0);
  // The old record got no more calls and its 0 closed nothing; the new record
  // keeps the mask it was registered with and waits for the next select().
  EXPECT_EQ(journal, Journal{"A:read"});
  EXPECT_EQ(dispatch.masksOf(&a), Masks{READABLE});
  EXPECT_TRUE(isOpen(fd));
  EXPECT_EQ(a.getfd(), fd);

  dispatch.work(5.0);
  EXPECT_EQ(journal, (Journal{"A:read", "A:read", "A:close"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_FALSE(isOpen(fd));
}

TEST_F(Dispatch, SkipsASourceClosedEarlierInThePassAndDeliversEventsArisingInTheNext) {
  FdPair pipe = makePipe();
  ScriptedSource reader("R", std::move(pipe.first), journal);
  ScriptedSource& closed = source("C").answer(0);
  ScriptedSource& writer = source("W").kept().react([&](unsigned) {
    if (::write(pipe.second.get(), "x", 1) != 1) ADD_FAILURE() << "write to pipe";
    closed.close();
    return 0u;
  });
  reader.kept().answer(0);
  dispatch.addSource(&writer, WRITABLE);
  dispatch.addSource(&closed, WRITABLE);
  dispatch.addSource(&reader, READABLE);
  dispatch.work(0.3);
  EXPECT_EQ(journal, (Journal{"W:write", "C:close", "R:read"}));
  EXPECT_EQ(dispatch.masksOf(&closed), Masks{WRITABLE});
  EXPECT_EQ(dispatch.recordCount(), 1u);
}

TEST_F(Dispatch, ClearClosesEverySourceAtTheEndOfThePassOrAtOnceOutsideWork) {
  ScriptedSource& a = source("A").react([&](unsigned) {
    dispatch.clear();
    return WRITABLE;
  });
  ScriptedSource& b = source("B").kept().answer(WRITABLE);
  ScriptedSource& c = source("C").answer(WRITABLE);
  int fds[] = {a.getfd(), b.getfd(), c.getfd()};
  for (ScriptedSource* s : {&a, &b, &c})
    dispatch.addSource(s, WRITABLE);
  dispatch.work(5.0);
  // Every source is closed, the kept-open one too.
  EXPECT_EQ(journal, (Journal{"A:write", "B:write", "C:write", "A:close", "B:close", "C:close"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  for (int fd : fds)
    EXPECT_FALSE(isOpen(fd)) << fd;

  journal.clear();
  dispatch.addSource(&source("D"), READABLE);
  dispatch.addSource(&source("E").kept(), WRITABLE);
  dispatch.clear();
  EXPECT_EQ(journal, (Journal{"D:close", "E:close"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
}

TEST_F(Dispatch, RemoveAndSetEventsActOnTheFirstRecordOnlyAndNeverClose) {
  ScriptedSource& a = source("A");
  ScriptedSource& stranger = source("S");
  int fd = a.getfd();
  dispatch.addSource(&a, READABLE);
  dispatch.addSource(&a, WRITABLE);
  dispatch.removeSource(&stranger);
  dispatch.setSourceEvents(&stranger, WRITABLE);
  dispatch.setSourceEvents(&a, EXCEPTION);
  EXPECT_EQ(dispatch.masksOf(&a), (Masks{EXCEPTION, WRITABLE}));
  EXPECT_EQ(dispatch.recordCount(), 2u);

  dispatch.removeSource(&a);
  EXPECT_EQ(dispatch.masksOf(&a), Masks{WRITABLE});
  dispatch.removeSource(&a);
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_TRUE(journal.empty());
  EXPECT_TRUE(isOpen(fd));

  // With no source left, work returns at once whatever its timeout.
  Stopwatch clock;
  dispatch.work(-1.0);
  dispatch.work(10.0);
  EXPECT_LT(clock.seconds(), 1.0);
  EXPECT_FALSE(dispatch.inWork());
}

TEST_F(Dispatch, EveryPassWaitsTheWholeTimeoutAgain) {
  // A slow first pass must not shorten the wait of the second, and the
  // fraction of a second must reach select().
  for (double timeout : {0.5, 2.25}) {
    SCOPED_TRACE(timeout);
    journal.clear();
    ScriptedSource& a = source("A").react([](unsigned) {
      std::this_thread::sleep_for(std::chrono::duration<double>(SLOW_PASS));
      return READABLE;
    });
    dispatch.addSource(&a, WRITABLE);
    Stopwatch clock;
    dispatch.work(timeout);
    double elapsed = clock.seconds();
    EXPECT_EQ(journal, Journal{"A:write"});
    EXPECT_GE(elapsed, timeout + SLOW_PASS - 0.02);
    EXPECT_LT(elapsed, timeout + 5.0);
    EXPECT_EQ(dispatch.masksOf(&a), Masks{READABLE});
    EXPECT_FALSE(dispatch.inWork());
    dispatch.removeSource(&a);
  }
}

TEST_F(Dispatch, ExitEndsWorkAfterThePassOnlyWhenCalledFromAHandler) {
  int calls = 0;
  ScriptedSource& a = source("A").react([&](unsigned) {
    // Should exit() fail, clear() still ends the loop so that the test cannot hang.
    if (++calls > 3)
      dispatch.clear();
    else if (calls == 3)
      dispatch.exit();
    return WRITABLE;
  });
  ScriptedSource& b = source("B").answer(WRITABLE);
  dispatch.addSource(&a, WRITABLE);
  dispatch.addSource(&b, WRITABLE);
  dispatch.exit();
  dispatch.work(-1.0);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(journal.size(), 6u);
  EXPECT_EQ(journal.back(), "B:write");
  EXPECT_EQ(dispatch.masksOf(&a), Masks{WRITABLE});
  EXPECT_EQ(dispatch.masksOf(&b), Masks{WRITABLE});
  EXPECT_FALSE(dispatch.inWork());
}

TEST_F(Dispatch, DescriptorBeyondTheSelectLimitIsReportedAndNothingIsTouched) {
  // The soft limit on open files stays raised while select() might see the high descriptor.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct Restore {
    const rlimit& saved;
    ~Restore() { ::setrlimit(RLIMIT_NOFILE, &saved); }
  } restore{saved};
  rlimit raised = saved;
  raised.rlim_cur =
      std::max<rlim_t>(saved.rlim_cur, std::min<rlim_t>(saved.rlim_max, HIGH_FD + 64));
  ::setrlimit(RLIMIT_NOFILE, &raised);
  FdPair pipe = makePipe();
  UniqueFd high(::fcntl(pipe.first.get(), F_DUPFD_CLOEXEC, HIGH_FD));
  if (!high) GTEST_SKIP() << "no descriptor above " << HIGH_FD;
  ASSERT_GE(high.get(), FD_SETSIZE);
  ASSERT_EQ(::write(pipe.second.get(), "x", 1), 1);
  int highFd = high.get();

  ScriptedSource& a = source("A").kept().answer(0);
  ScriptedSource h("H", std::move(high), journal);
  h.answer(0);
  dispatch.addSource(&a, WRITABLE);
  dispatch.addSource(&h, READABLE | WRITABLE | EXCEPTION);
  ErrorCapture errors;
  dispatch.work(5.0);
  ASSERT_EQ(errors.messages().size(), 1u);
  EXPECT_EQ(errors.messages()[0].rfind("Error in XmlRpcDispatch::work:", 0), 0u)
      << errors.messages()[0];
  EXPECT_TRUE(journal.empty());
  EXPECT_EQ(dispatch.masksOf(&a), Masks{WRITABLE});
  EXPECT_EQ(dispatch.masksOf(&h), Masks{READABLE | WRITABLE | EXCEPTION});
  EXPECT_FALSE(dispatch.inWork());
  EXPECT_TRUE(isOpen(highFd));

  // Once the offending source is gone the loop runs normally again.
  dispatch.removeSource(&h);
  dispatch.work(5.0);
  EXPECT_EQ(journal, Journal{"A:write"});
  EXPECT_EQ(errors.messages().size(), 1u);
}

TEST_F(Dispatch, FailedSelectIsReportedAndTheSourcesStayRegistered) {
  ErrorCapture errors;
  ScriptedSource a("A", UniqueFd(), journal);
  a.setfd(makePipe().first.get());  // a number closed again at once
  dispatch.addSource(&a, READABLE);
  dispatch.work(5.0);
  a.setfd(-1);  // the number is not ours to close
  EXPECT_EQ(errors.messages(), Journal{"Error in XmlRpcDispatch::work: error in select (-1)."});
  EXPECT_TRUE(journal.empty());
  EXPECT_EQ(dispatch.masksOf(&a), Masks{READABLE});
  EXPECT_FALSE(dispatch.inWork());
}
