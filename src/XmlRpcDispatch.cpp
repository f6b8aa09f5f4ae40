// The select() event loop.
#include "XmlRpcDispatch.h"

#include <sys/select.h>
#include <sys/time.h>

#include <algorithm>
#include <ctime>

#include "XmlRpcSource.h"
#include "XmlRpcUtil.h"

namespace XmlRpc {

namespace {

// The mask that stands for "no change" while a record's handler results are ANDed.
constexpr unsigned ALL_EVENTS = ~0u;

// Waits beyond a year are cut to a year: an infinite limit must not overflow time_t.
constexpr double LONGEST_WAIT_S = 365.0 * 24 * 3600;

bool inSelectRange(int fd) {
  return fd >= 0 && fd < FD_SETSIZE;
}

timeval toTimeval(double seconds) {
  seconds = std::min(std::max(seconds, 0.0), LONGEST_WAIT_S);
  // Not negative, so truncation rounds down; and rpcset need not load libm for floor().
  timeval tv;
  tv.tv_sec = static_cast<time_t>(seconds);
  tv.tv_usec =
      static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1000000.0) % 1000000;
  return tv;
}

}  // namespace

XmlRpcDispatch::XmlRpcDispatch() : _endTime(-1.0), _doClear(false), _inWork(false) {}

XmlRpcDispatch::~XmlRpcDispatch() = default;

void XmlRpcDispatch::addSource(XmlRpcSource* source, unsigned eventMask) {
  _sources.push_back(MonitoredSource(source, eventMask));
}

void XmlRpcDispatch::removeSource(XmlRpcSource* source) {
  for (auto it = _sources.begin(); it != _sources.end(); ++it) {
    if (it->_src == source) {
      // Inside work() a handler may remove its own record; the pass still
      // holds iterators into the list, so the record is only marked and
      // erased once the pass is over.
      if (_inWork)
        it->_src = nullptr;
      else
        _sources.erase(it);
      return;
    }
  }
}

void XmlRpcDispatch::setSourceEvents(XmlRpcSource* source, unsigned eventMask) {
  for (auto& record : _sources) {
    if (record._src == source) {
      record._mask = eventMask;
      return;
    }
  }
}

void XmlRpcDispatch::work(double timeout) {
  run(timeout, false);
}

bool XmlRpcDispatch::workFor(double timeout) {
  return run(timeout, true);
}

bool XmlRpcDispatch::run(double timeout, bool wholeRun) {
  const bool limited = timeout >= 0.0;
  // exit() ends either kind of run through _endTime, so a run bounded as a
  // whole keeps its deadline apart, on the monotonic clock.
  _endTime = (limited && !wholeRun) ? getTime() + timeout : -1.0;
  const double deadline = (limited && wholeRun) ? getMonotonicTime() + timeout : -1.0;
  _doClear = false;
  _inWork = true;

  bool timeLeft = true;
  while (!_sources.empty()) {
    fd_set inFd, outFd, excFd;
    FD_ZERO(&inFd);
    FD_ZERO(&outFd);
    FD_ZERO(&excFd);
    int maxFd = -1;
    for (const auto& record : _sources) {
      if (record._src == nullptr || record._mask == 0) continue;
      int fd = record._src->getfd();
      if (fd < 0) continue;
      if (!inSelectRange(fd)) {
        // FD_SET on such a descriptor would write past the end of the set.
        XmlRpcUtil::error(
            "Error in XmlRpcDispatch::work: descriptor %d is beyond the select() limit (%d).", fd,
            FD_SETSIZE);
        _inWork = false;
        return true;
      }
      if (record._mask & EventReadable) FD_SET(fd, &inFd);
      if (record._mask & EventWritable) FD_SET(fd, &outFd);
      if (record._mask & EventException) FD_SET(fd, &excFd);
      if (fd > maxFd) maxFd = fd;
    }

    int nEvents;
    if (!limited) {
      nEvents = ::select(maxFd + 1, &inFd, &outFd, &excFd, nullptr);
    } else {
      timeval tv = toTimeval(wholeRun ? deadline - getMonotonicTime() : timeout);
      nEvents = ::select(maxFd + 1, &inFd, &outFd, &excFd, &tv);
    }
    if (nEvents < 0) {
      XmlRpcUtil::error("Error in XmlRpcDispatch::work: error in select (%d).", nEvents);
      _inWork = false;
      return true;
    }

    // Only the records present when the pass began are dispatched: a source
    // that registers again from its handler waits for the next select().
    size_t recordsInPass = _sources.size();
    auto it = _sources.begin();
    for (size_t i = 0; i < recordsInPass; ++i, ++it) {
      XmlRpcSource* src = it->_src;
      if (src == nullptr) continue;
      int fd = src->getfd();
      if (fd > maxFd || !inSelectRange(fd)) continue;

      unsigned newMask = ALL_EVENTS;
      if (FD_ISSET(fd, &inFd)) newMask &= src->handleEvent(EventReadable);
      if (it->_src != nullptr && FD_ISSET(fd, &outFd)) newMask &= src->handleEvent(EventWritable);
      if (it->_src != nullptr && FD_ISSET(fd, &excFd)) newMask &= src->handleEvent(EventException);

      if (it->_src == nullptr) continue;  // the source removed itself
      if (newMask == 0) {
        it->_src = nullptr;
        if (!src->getKeepOpen()) src->close();
      } else if (newMask != ALL_EVENTS) {
        it->_mask = newMask;
      }
    }
    _sources.remove_if([](const MonitoredSource& record) { return record._src == nullptr; });

    if (_doClear) {
      _doClear = false;
      closeAll();
    }
    if (_endTime >= 0.0 && getTime() > _endTime) break;
    if (wholeRun && limited && !_sources.empty() && getMonotonicTime() >= deadline) {
      timeLeft = false;
      break;
    }
  }
  _inWork = false;
  return timeLeft;
}

void XmlRpcDispatch::exit() {
  _endTime = 0.0;
}

void XmlRpcDispatch::clear() {
  if (_inWork)
    _doClear = true;
  else
    closeAll();
}

void XmlRpcDispatch::closeAll() {
  SourceList closing;
  closing.swap(_sources);
  for (auto& record : closing)
    if (record._src != nullptr) record._src->close();
}

double XmlRpcDispatch::getTime() {
  timeval tv;
  ::gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

double XmlRpcDispatch::getMonotonicTime() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace XmlRpc
