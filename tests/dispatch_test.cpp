// Tests of the event source base and the select() dispatcher on real descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "XmlRpcDispatch.h"
#include "XmlRpcSocket.h"
#include "XmlRpcSource.h"
#include "test_support.h"

using namespace XmlRpc;
using namespace corvane::test;

namespace {

constexpr unsigned READABLE = XmlRpcDispatch::EventReadable;
constexpr unsigned WRITABLE = XmlRpcDispatch::EventWritable;
constexpr unsigned EXCEPTION = XmlRpcDispatch::EventException;

// Every handler call and close, across sources, in the order they happened.
using Journal = std::vector<std::string>;

std::string eventName(unsigned eventType) {
  switch (eventType) {
    case READABLE:
      return "read";
    case WRITABLE:
      return "write";
    case EXCEPTION:
      return "except";
    default:
      // More than one bit, or none: the dispatcher must never do this.
      return "bits" + std::to_string(eventType);
  }
}

// A source that writes each call into a journal and answers as its reaction says.
// It owns its descriptor, which XmlRpcSource's destructor would leave open.
class ScriptedSource : public XmlRpcSource {
 public:
  using Reaction = std::function<unsigned(unsigned eventType)>;

  ScriptedSource(std::string name, UniqueFd fd, Journal& journal, bool deleteOnClose = false)
      : XmlRpcSource(fd.release(), deleteOnClose), _name(std::move(name)), _journal(journal) {}
  ~ScriptedSource() override {
    _journal.push_back(_name + ":destroyed");
    if (getfd() >= 0) ::close(getfd());
  }

  void react(Reaction reaction) { _reaction = std::move(reaction); }
  void answer(unsigned mask) {
    _reaction = [mask](unsigned) { return mask; };
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
  Reaction _reaction;
};

// A heap source that ends its own life from inside its handler, either by
// removing and closing itself or by returning 0 and letting the dispatcher close it.
class SelfDeletingSource : public XmlRpcSource {
 public:
  SelfDeletingSource(UniqueFd fd, XmlRpcDispatch& dispatch, Journal& journal, bool closeItself)
      : XmlRpcSource(fd.release(), true),
        _dispatch(dispatch),
        _journal(journal),
        _closeItself(closeItself) {}
  ~SelfDeletingSource() override { _journal.push_back("S:destroyed"); }

  unsigned handleEvent(unsigned eventType) override {
    _journal.push_back("S:" + eventName(eventType));
    if (_closeItself) {
      _dispatch.removeSource(this);
      close();  // deletes this
    }
    return 0;
  }

 private:
  XmlRpcDispatch& _dispatch;
  Journal& _journal;
  bool _closeItself;
};

// A source that does not own its descriptor, to see what the base destructor leaves.
class BorrowingSource : public XmlRpcSource {
 public:
  explicit BorrowingSource(int fd) : XmlRpcSource(fd, false) {}
  unsigned handleEvent(unsigned) override { return 0; }
};

// Lets the tests see the records: how many there are and with which masks.
class ObservableDispatch : public XmlRpcDispatch {
 public:
  size_t recordCount() const { return _sources.size(); }
  std::vector<unsigned> masksOf(const XmlRpcSource* source) {
    std::vector<unsigned> masks;
    for (MonitoredSource& record : _sources)
      if (record.getSource() == source) masks.push_back(record.getMask());
    return masks;
  }
  bool inWork() const { return _inWork; }
};

using Masks = std::vector<unsigned>;

// Both ends of a local socket pair with one byte waiting at `first`, which is
// then readable and writable at once.
FdPair readableAndWritablePair() {
  FdPair pair = makeSocketPair();
  if (::write(pair.second.get(), "x", 1) != 1) throwErrno("write");
  return pair;
}

// Raises the soft limit on open files for the scope, when the hard limit allows it.
class OpenFileLimit {
 public:
  OpenFileLimit() = default;
  OpenFileLimit(const OpenFileLimit&) = delete;
  OpenFileLimit& operator=(const OpenFileLimit&) = delete;
  ~OpenFileLimit() {
    if (_raised) ::setrlimit(RLIMIT_NOFILE, &_saved);
  }

  bool atLeast(rlim_t wanted) {
    if (::getrlimit(RLIMIT_NOFILE, &_saved) != 0) return false;
    if (_saved.rlim_cur == RLIM_INFINITY || _saved.rlim_cur >= wanted) return true;
    if (_saved.rlim_max != RLIM_INFINITY && _saved.rlim_max < wanted) return false;
    rlimit raised = _saved;
    raised.rlim_cur = wanted;
    _raised = ::setrlimit(RLIMIT_NOFILE, &raised) == 0;
    return _raised;
  }

 private:
  rlimit _saved{};
  bool _raised = false;
};

// How long the handler of the first pass takes in the timeout test.
constexpr double SLOW_PASS = 0.3;

// Well above the 1024 descriptors that an fd_set can hold.
constexpr int HIGH_FD = 1500;

}  // namespace

TEST(Source, DestructorLeavesTheDescriptorOpen) {
  FdPair pair = makeSocketPair();
  { BorrowingSource source(pair.first.get()); }
  EXPECT_TRUE(isOpen(pair.first.get()));
}

TEST(Source, CloseWithoutDescriptorDoesNothing) {
  Journal journal;
  ScriptedSource source("S", UniqueFd(), journal);
  LogCapture log(5);
  source.close();
  EXPECT_EQ(source.getfd(), -1);
  EXPECT_TRUE(log.entries().empty());
}

TEST(Source, CloseClosesTheDescriptorOnceAndLogsAtLevelTwo) {
  Journal journal;
  FdPair pair = makeSocketPair();
  int fd = pair.first.get();
  ScriptedSource source("S", std::move(pair.first), journal);
  EXPECT_EQ(source.getfd(), fd);
  EXPECT_FALSE(source.getKeepOpen());

  LogCapture log(4);
  source.close();
  EXPECT_FALSE(isOpen(fd));
  EXPECT_EQ(source.getfd(), -1);
  std::string n = std::to_string(fd);
  EXPECT_EQ(log.messages(), (Journal{"XmlRpcSource::close: closing socket " + n + ".",
                                     "XmlRpcSocket::close: fd " + n + ".",
                                     "XmlRpcSource::close: done closing socket " + n + "."}));
  ASSERT_EQ(log.entries().size(), 3u);
  EXPECT_EQ(log.entries()[0].level, 2);
  EXPECT_EQ(log.entries()[2].level, 2);

  log.clear();
  source.close();
  EXPECT_TRUE(log.entries().empty());
}

TEST(Source, DeleteOnCloseSourceEndsItsLifeInClose) {
  Journal journal;
  FdPair pair = makeSocketPair();
  int fd = pair.first.get();
  auto* source = new ScriptedSource("S", std::move(pair.first), journal, true);
  LogCapture log(2);
  source->close();
  EXPECT_EQ(journal, (Journal{"S:close", "S:destroyed"}));
  EXPECT_FALSE(isOpen(fd));
  ASSERT_FALSE(log.entries().empty());
  EXPECT_EQ(log.entries().back().msg, "XmlRpcSource::close: deleting this");
}

TEST(Dispatch, WorkOnAnEmptyListReturnsAtOnce) {
  ObservableDispatch dispatch;
  Stopwatch clock;
  dispatch.work(-1.0);
  dispatch.work(10.0);
  EXPECT_LT(clock.seconds(), 1.0);
  EXPECT_FALSE(dispatch.inWork());
}

TEST(Dispatch, CallsTheHandlerOnceForEachReadyEventBitInOrder) {
  // Urgent TCP data is the one real way to raise the exceptional condition.
  TcpPair tcp = makeTcpPair();
  ASSERT_EQ(::send(tcp.server.get(), "d", 1, 0), 1);
  ASSERT_EQ(::send(tcp.server.get(), "!", 1, MSG_OOB), 1);
  ASSERT_NE(waitFor(tcp.client.get(), POLLPRI) & POLLPRI, 0);

  Journal journal;
  ObservableDispatch dispatch;
  int fd = tcp.client.get();
  ScriptedSource source("A", std::move(tcp.client), journal);
  source.setKeepOpen(true);
  source.react([](unsigned e) { return e == EXCEPTION ? 0u : READABLE | WRITABLE | EXCEPTION; });
  dispatch.addSource(&source, READABLE | WRITABLE | EXCEPTION);
  dispatch.work(5.0);

  EXPECT_EQ(journal, (Journal{"A:read", "A:write", "A:except"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_TRUE(isOpen(fd));
}

TEST(Dispatch, WatchesOnlyTheEventsOfTheMask) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair readOnly = readableAndWritablePair();
  FdPair writeOnly = readableAndWritablePair();
  FdPair exceptOnly = readableAndWritablePair();
  ScriptedSource a("A", std::move(readOnly.first), journal);
  ScriptedSource b("B", std::move(writeOnly.first), journal);
  ScriptedSource c("C", std::move(exceptOnly.first), journal);
  a.answer(0);
  b.answer(0);
  c.answer(0);
  dispatch.addSource(&a, READABLE);
  dispatch.addSource(&b, WRITABLE);
  dispatch.addSource(&c, EXCEPTION);
  dispatch.work(0.3);

  EXPECT_EQ(journal, (Journal{"A:read", "A:close", "B:write", "B:close"}));
  EXPECT_EQ(dispatch.masksOf(&c), Masks{EXCEPTION});
}

TEST(Dispatch, StoresTheAndOfTheMasksReturnedInOnePass) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair pair = readableAndWritablePair();
  ScriptedSource source("A", std::move(pair.first), journal);
  source.react([&](unsigned e) {
    if (e == READABLE) return READABLE | WRITABLE;
    dispatch.exit();
    return WRITABLE | EXCEPTION;
  });
  dispatch.addSource(&source, READABLE | WRITABLE);
  dispatch.work(5.0);
  EXPECT_EQ(journal, (Journal{"A:read", "A:write"}));
  EXPECT_EQ(dispatch.masksOf(&source), Masks{WRITABLE});

  // The stored mask rules the next pass: the unread byte no longer counts.
  source.setKeepOpen(true);
  source.answer(0);
  dispatch.work(5.0);
  EXPECT_EQ(journal, (Journal{"A:read", "A:write", "A:write"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
}

TEST(Dispatch, ZeroFromAnyHandlerOfThePassRemovesAndClosesTheSource) {
  for (bool zeroFirst : {true, false}) {
    SCOPED_TRACE(zeroFirst ? "read handler returns 0" : "write handler returns 0");
    Journal journal;
    ObservableDispatch dispatch;
    FdPair pair = readableAndWritablePair();
    int fd = pair.first.get();
    ScriptedSource source("A", std::move(pair.first), journal);
    source.react([zeroFirst](unsigned e) {
      return (e == READABLE) == zeroFirst ? 0u : READABLE | WRITABLE;
    });
    dispatch.addSource(&source, READABLE | WRITABLE);
    dispatch.work(5.0);

    EXPECT_EQ(journal, (Journal{"A:read", "A:write", "A:close"}));
    EXPECT_EQ(dispatch.recordCount(), 0u);
    EXPECT_EQ(source.getfd(), -1);
    EXPECT_FALSE(isOpen(fd));
  }
}

TEST(Dispatch, SourceThatSawNoEventKeepsItsMask) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair ready = makeSocketPair();
  FdPair idle = makeSocketPair();
  ScriptedSource a("A", std::move(ready.first), journal);
  ScriptedSource b("B", std::move(idle.first), journal);
  a.react([&](unsigned) {
    dispatch.exit();
    return READABLE;
  });
  dispatch.addSource(&a, WRITABLE);
  dispatch.addSource(&b, READABLE | EXCEPTION);
  dispatch.work(5.0);

  EXPECT_EQ(journal, Journal{"A:write"});
  EXPECT_EQ(dispatch.masksOf(&a), Masks{READABLE});
  EXPECT_EQ(dispatch.masksOf(&b), Masks{READABLE | EXCEPTION});
}

TEST(Dispatch, EveryReadySourceIsCalledInRegistrationOrder) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair p1 = makeSocketPair(), p2 = makeSocketPair(), p3 = makeSocketPair();
  ScriptedSource c("C", std::move(p1.first), journal);
  ScriptedSource a("A", std::move(p2.first), journal);
  ScriptedSource b("B", std::move(p3.first), journal);
  for (ScriptedSource* s : {&c, &a, &b}) {
    s->setKeepOpen(true);
    s->answer(0);
    dispatch.addSource(s, WRITABLE);
  }
  dispatch.work(5.0);
  EXPECT_EQ(journal, (Journal{"C:write", "A:write", "B:write"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
}

TEST(Dispatch, RemovalByZeroMaskClosesTheSourceUnlessKeptOpen) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair p1 = makeSocketPair(), p2 = makeSocketPair();
  int keptFd = p1.first.get();
  int closedFd = p2.first.get();
  ScriptedSource kept("K", std::move(p1.first), journal);
  ScriptedSource closed("C", std::move(p2.first), journal);
  kept.setKeepOpen(true);
  kept.answer(0);
  closed.answer(0);
  dispatch.addSource(&kept, WRITABLE);
  dispatch.addSource(&closed, WRITABLE);

  LogCapture log(2);
  dispatch.work(5.0);

  EXPECT_EQ(journal, (Journal{"K:write", "C:write", "C:close"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_TRUE(isOpen(keptFd));
  EXPECT_EQ(kept.getfd(), keptFd);
  EXPECT_FALSE(isOpen(closedFd));
  EXPECT_EQ(closed.getfd(), -1);
  std::string n = std::to_string(closedFd);
  EXPECT_EQ(log.messages(), (Journal{"XmlRpcSource::close: closing socket " + n + ".",
                                     "XmlRpcSource::close: done closing socket " + n + "."}));
}

TEST(Dispatch, ZeroMaskClosesAndDeletesADeleteOnCloseSource) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair pair = readableAndWritablePair();
  FdPair other = makeSocketPair();
  int fd = pair.first.get();
  auto* self = new SelfDeletingSource(std::move(pair.first), dispatch, journal, false);
  ScriptedSource next("B", std::move(other.first), journal);
  next.setKeepOpen(true);
  next.answer(0);
  dispatch.addSource(self, READABLE | WRITABLE);
  dispatch.addSource(&next, WRITABLE);

  LogCapture log(2);
  dispatch.work(5.0);

  EXPECT_EQ(journal, (Journal{"S:read", "S:write", "S:destroyed", "B:write"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_FALSE(isOpen(fd));
  ASSERT_FALSE(log.entries().empty());
  EXPECT_EQ(log.entries().back().msg, "XmlRpcSource::close: deleting this");
}

TEST(Dispatch, SourceThatDeletesItselfInItsHandlerIsNotTouchedAgain) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair pair = readableAndWritablePair();
  FdPair other = makeSocketPair();
  int fd = pair.first.get();
  auto* self = new SelfDeletingSource(std::move(pair.first), dispatch, journal, true);
  ScriptedSource next("B", std::move(other.first), journal);
  next.setKeepOpen(true);
  next.answer(0);
  dispatch.addSource(self, READABLE | WRITABLE);
  dispatch.addSource(&next, WRITABLE);
  dispatch.work(5.0);

  // No write call for the removed record, and the next source still gets its event.
  EXPECT_EQ(journal, (Journal{"S:read", "S:destroyed", "B:write"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_FALSE(isOpen(fd));
}

TEST(Dispatch, SourceMayRemoveAndRegisterItselfInsideItsHandler) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair pair = readableAndWritablePair();
  int fd = pair.first.get();
  ScriptedSource source("A", std::move(pair.first), journal);
  bool registeredAgain = false;
  source.react([&](unsigned) {
    // Only once, so that a dispatcher that served the new record at once cannot loop.
    if (!registeredAgain) {
      registeredAgain = true;
      dispatch.removeSource(&source);
      dispatch.addSource(&source, READABLE);
      dispatch.exit();
    }
    return 0u;
  });
  dispatch.addSource(&source, READABLE | WRITABLE);
  dispatch.work(5.0);

  // The old record got no more calls and its 0 closed nothing; the new record
  // keeps the mask it was registered with and waits for the next select().
  EXPECT_EQ(journal, Journal{"A:read"});
  EXPECT_EQ(dispatch.masksOf(&source), Masks{READABLE});
  EXPECT_TRUE(isOpen(fd));
  EXPECT_EQ(source.getfd(), fd);

  dispatch.work(5.0);
  EXPECT_EQ(journal, (Journal{"A:read", "A:read", "A:close"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_FALSE(isOpen(fd));
}

TEST(Dispatch, SourceThatRemovesItselfKeepsItsDescriptor) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair pair = readableAndWritablePair();
  FdPair other = makeSocketPair();
  int fd = pair.first.get();
  ScriptedSource source("A", std::move(pair.first), journal);
  ScriptedSource next("B", std::move(other.first), journal);
  source.react([&](unsigned) {
    dispatch.removeSource(&source);
    return 0u;
  });
  next.setKeepOpen(true);
  next.answer(0);
  dispatch.addSource(&source, READABLE | WRITABLE);
  dispatch.addSource(&next, WRITABLE);
  dispatch.work(5.0);

  EXPECT_EQ(journal, (Journal{"A:read", "B:write"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_TRUE(isOpen(fd));
}

TEST(Dispatch, RecordAddedDuringAPassWaitsForTheNextSelect) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair p1 = makeSocketPair(), p2 = makeSocketPair();
  ScriptedSource a("A", std::move(p1.first), journal);
  ScriptedSource b("B", std::move(p2.first), journal);
  a.setKeepOpen(true);
  b.setKeepOpen(true);
  a.react([&](unsigned) {
    dispatch.addSource(&b, WRITABLE);
    dispatch.exit();
    return 0u;
  });
  b.answer(0);
  dispatch.addSource(&a, WRITABLE);
  dispatch.work(5.0);
  EXPECT_EQ(journal, Journal{"A:write"});
  EXPECT_EQ(dispatch.masksOf(&b), Masks{WRITABLE});

  dispatch.work(5.0);
  EXPECT_EQ(journal, (Journal{"A:write", "B:write"}));
}

TEST(Dispatch, EventArisingDuringAPassIsDeliveredInTheNext) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair socket = makeSocketPair();
  FdPair pipe = makePipe();
  ScriptedSource writer("W", std::move(socket.first), journal);
  ScriptedSource reader("R", std::move(pipe.first), journal);
  writer.setKeepOpen(true);
  reader.setKeepOpen(true);
  writer.react([&](unsigned) {
    if (::write(pipe.second.get(), "x", 1) != 1) ADD_FAILURE() << "write to pipe";
    return 0u;
  });
  reader.answer(0);
  dispatch.addSource(&writer, WRITABLE);
  dispatch.addSource(&reader, READABLE);
  dispatch.work(5.0);

  EXPECT_EQ(journal, (Journal{"W:write", "R:read"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
}

TEST(Dispatch, SkipsASourceClosedEarlierInThePass) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair p1 = makeSocketPair(), p2 = makeSocketPair();
  ScriptedSource a("A", std::move(p1.first), journal);
  ScriptedSource b("B", std::move(p2.first), journal);
  a.setKeepOpen(true);
  a.react([&](unsigned) {
    b.close();
    return 0u;
  });
  b.answer(0);
  dispatch.addSource(&a, WRITABLE);
  dispatch.addSource(&b, WRITABLE);
  dispatch.work(0.3);

  EXPECT_EQ(journal, (Journal{"A:write", "B:close"}));
  EXPECT_EQ(dispatch.masksOf(&b), Masks{WRITABLE});
}

TEST(Dispatch, ClearFromAHandlerWaitsForTheEndOfThePass) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair p1 = makeSocketPair(), p2 = makeSocketPair(), p3 = makeSocketPair();
  int fds[] = {p1.first.get(), p2.first.get(), p3.first.get()};
  ScriptedSource a("A", std::move(p1.first), journal);
  ScriptedSource b("B", std::move(p2.first), journal);
  ScriptedSource c("C", std::move(p3.first), journal);
  a.react([&](unsigned) {
    dispatch.clear();
    return WRITABLE;
  });
  b.setKeepOpen(true);
  b.answer(WRITABLE);
  c.answer(WRITABLE);
  for (ScriptedSource* s : {&a, &b, &c})
    dispatch.addSource(s, WRITABLE);
  dispatch.work(5.0);

  // Every source is closed, the kept-open one too.
  EXPECT_EQ(journal, (Journal{"A:write", "B:write", "C:write", "A:close", "B:close", "C:close"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  for (int fd : fds)
    EXPECT_FALSE(isOpen(fd)) << fd;
}

TEST(Dispatch, ClearOutsideWorkClosesEverySourceAtOnce) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair p1 = makeSocketPair(), p2 = makeSocketPair();
  int keptFd = p2.first.get();
  ScriptedSource a("A", std::move(p1.first), journal);
  ScriptedSource b("B", std::move(p2.first), journal);
  b.setKeepOpen(true);
  dispatch.addSource(&a, READABLE);
  dispatch.addSource(&b, WRITABLE);
  dispatch.clear();

  EXPECT_EQ(journal, (Journal{"A:close", "B:close"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_FALSE(isOpen(keptFd));
}

TEST(Dispatch, RemovingAnUnregisteredSourceChangesNothing) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair p1 = makeSocketPair(), p2 = makeSocketPair();
  int strangerFd = p2.first.get();
  ScriptedSource a("A", std::move(p1.first), journal);
  ScriptedSource stranger("S", std::move(p2.first), journal);
  dispatch.addSource(&a, READABLE);
  dispatch.removeSource(&stranger);
  dispatch.setSourceEvents(&stranger, WRITABLE);

  EXPECT_EQ(dispatch.recordCount(), 1u);
  EXPECT_EQ(dispatch.masksOf(&a), Masks{READABLE});
  EXPECT_TRUE(journal.empty());
  EXPECT_TRUE(isOpen(strangerFd));
}

TEST(Dispatch, RemoveAndSetEventsActOnTheFirstRecordAndNeverClose) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair pair = makeSocketPair();
  int fd = pair.first.get();
  ScriptedSource a("A", std::move(pair.first), journal);
  dispatch.addSource(&a, READABLE);
  dispatch.addSource(&a, WRITABLE);
  dispatch.setSourceEvents(&a, EXCEPTION);
  EXPECT_EQ(dispatch.masksOf(&a), (Masks{EXCEPTION, WRITABLE}));

  dispatch.removeSource(&a);
  EXPECT_EQ(dispatch.masksOf(&a), Masks{WRITABLE});
  dispatch.removeSource(&a);
  EXPECT_EQ(dispatch.recordCount(), 0u);
  EXPECT_TRUE(journal.empty());
  EXPECT_TRUE(isOpen(fd));
}

TEST(Dispatch, WorkReturnsAfterItsTimeoutWithTheIdleSourceStillRegistered) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair pair = makeSocketPair();
  ScriptedSource idle("A", std::move(pair.first), journal);
  dispatch.addSource(&idle, READABLE | EXCEPTION);

  Stopwatch clock;
  dispatch.work(0.5);
  double elapsed = clock.seconds();
  EXPECT_GE(elapsed, 0.45);
  EXPECT_LT(elapsed, 5.0);
  EXPECT_TRUE(journal.empty());
  EXPECT_EQ(dispatch.masksOf(&idle), Masks{READABLE | EXCEPTION});
  EXPECT_FALSE(dispatch.inWork());
}

TEST(Dispatch, EveryPassWaitsTheWholeTimeoutAgain) {
  // A slow first pass must not shorten the wait of the second, and the
  // fraction of a second must reach select().
  for (double timeout : {0.5, 2.25}) {
    SCOPED_TRACE(timeout);
    Journal journal;
    ObservableDispatch dispatch;
    FdPair pair = makeSocketPair();
    ScriptedSource source("A", std::move(pair.first), journal);
    source.react([](unsigned) {
      std::this_thread::sleep_for(std::chrono::duration<double>(SLOW_PASS));
      return READABLE;
    });
    dispatch.addSource(&source, WRITABLE);

    Stopwatch clock;
    dispatch.work(timeout);
    double elapsed = clock.seconds();
    EXPECT_EQ(journal, Journal{"A:write"});
    EXPECT_GE(elapsed, timeout + SLOW_PASS - 0.02);
    EXPECT_LT(elapsed, timeout + 5.0);
    EXPECT_EQ(dispatch.masksOf(&source), Masks{READABLE});
  }
}

TEST(Dispatch, ExitFromAHandlerEndsWorkAfterThePass) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair p1 = makeSocketPair(), p2 = makeSocketPair();
  ScriptedSource a("A", std::move(p1.first), journal);
  ScriptedSource b("B", std::move(p2.first), journal);
  int calls = 0;
  a.react([&](unsigned) {
    // Should exit() fail, clear() still ends the loop so that the test cannot hang.
    if (++calls > 1)
      dispatch.clear();
    else
      dispatch.exit();
    return WRITABLE;
  });
  b.answer(WRITABLE);
  dispatch.addSource(&a, WRITABLE);
  dispatch.addSource(&b, WRITABLE);

  Stopwatch clock;
  dispatch.work(-1.0);
  EXPECT_LT(clock.seconds(), 5.0);
  EXPECT_EQ(journal, (Journal{"A:write", "B:write"}));
  EXPECT_EQ(dispatch.masksOf(&a), Masks{WRITABLE});
  EXPECT_EQ(dispatch.masksOf(&b), Masks{WRITABLE});
  EXPECT_FALSE(dispatch.inWork());
}

TEST(Dispatch, ExitOutsideWorkHasNoLastingEffect) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair pair = makeSocketPair();
  ScriptedSource a("A", std::move(pair.first), journal);
  int calls = 0;
  a.react([&](unsigned) {
    if (++calls == 3) dispatch.exit();
    return WRITABLE;
  });
  dispatch.addSource(&a, WRITABLE);
  dispatch.exit();
  dispatch.work(5.0);
  EXPECT_EQ(calls, 3);
}

TEST(Dispatch, DescriptorBeyondTheSelectLimitIsReportedAndNothingIsTouched) {
  OpenFileLimit limit;
  if (!limit.atLeast(HIGH_FD + 64)) GTEST_SKIP() << "cannot raise the open file limit";
  FdPair pipe = makePipe();
  UniqueFd high(::fcntl(pipe.first.get(), F_DUPFD_CLOEXEC, HIGH_FD));
  if (!high) GTEST_SKIP() << "no descriptor above " << HIGH_FD;
  ASSERT_GE(high.get(), FD_SETSIZE);
  ASSERT_EQ(::write(pipe.second.get(), "x", 1), 1);
  int highFd = high.get();

  Journal journal;
  ObservableDispatch dispatch;
  FdPair ready = makeSocketPair();
  ScriptedSource a("A", std::move(ready.first), journal);
  ScriptedSource h("H", std::move(high), journal);
  a.setKeepOpen(true);
  a.answer(0);
  h.answer(0);
  dispatch.addSource(&a, WRITABLE);
  dispatch.addSource(&h, READABLE | WRITABLE | EXCEPTION);

  ErrorCapture errors;
  Stopwatch clock;
  dispatch.work(5.0);
  EXPECT_LT(clock.seconds(), 4.0);
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

TEST(Dispatch, FailedSelectIsReportedAndTheSourcesStayRegistered) {
  Journal journal;
  ObservableDispatch dispatch;
  ErrorCapture errors;
  FdPair pipe = makePipe();
  int stale = pipe.first.get();
  pipe.first.reset();
  ScriptedSource source("A", UniqueFd(), journal);
  source.setfd(stale);
  dispatch.addSource(&source, READABLE);

  dispatch.work(5.0);
  source.setfd(-1);  // the number is no longer ours to close

  EXPECT_EQ(errors.messages(), Journal{"Error in XmlRpcDispatch::work: error in select (-1)."});
  EXPECT_TRUE(journal.empty());
  EXPECT_EQ(dispatch.masksOf(&source), Masks{READABLE});
  EXPECT_FALSE(dispatch.inWork());
}

TEST(Dispatch, PeerCloseShowsAsReadableAndTheReadSeesEndOfFile) {
  Journal journal;
  ObservableDispatch dispatch;
  FdPair pair = makeSocketPair();
  ASSERT_EQ(::write(pair.second.get(), "hello", 5), 5);
  pair.second.reset();
  ScriptedSource source("A", std::move(pair.first), journal);
  std::string received;
  source.react([&](unsigned) {
    bool eof = false;
    if (!XmlRpcSocket::nbRead(source.getfd(), received, &eof)) return 0u;
    return eof ? 0u : READABLE;
  });
  dispatch.addSource(&source, READABLE);
  dispatch.work(5.0);

  EXPECT_EQ(received, "hello");
  EXPECT_EQ(journal, (Journal{"A:read", "A:close"}));
  EXPECT_EQ(dispatch.recordCount(), 0u);
}
