// The poll() event loop.
#include "XmlRpcDispatch.h"

#include <poll.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <ctime>

#include "XmlRpcSource.h"
#include "XmlRpcUtil.h"

namespace XmlRpc {

namespace {

// The mask that stands for "no change" while a record's handler results are ANDed.
constexpr unsigned ALL_EVENTS = ~0u;

// A wait of `seconds` in poll()'s whole milliseconds, rounded up, so that a
// wait for the last fraction of a millisecond does not return at once and spin.
// Longer waits are cut to what an int holds; the loop then waits again.
int toPollTimeout(double seconds) {
  const double ms = std::ceil(std::max(seconds, 0.0) * 1000.0);
  return ms >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
}

short toPollEvents(unsigned mask) {
  short events = 0;
  if (mask & XmlRpcDispatch::EventReadable) events |= POLLIN;
  if (mask & XmlRpcDispatch::EventWritable) events |= POLLOUT;
  if (mask & XmlRpcDispatch::EventException) events |= POLLPRI;
  return events;
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
    // Entry i is the record i of the pass; poll() passes over those without a descriptor.
    const size_t recordsInPass = _sources.size();
    _pollFds.clear();
    for (const auto& record : _sources) {
      const bool watched = record._src != nullptr && record._mask != 0;
      _pollFds.push_back(
          pollfd{watched ? record._src->getfd() : -1, toPollEvents(record._mask), 0});
    }
    pollfd* const fds = _pollFds.data();
    const nfds_t nfds = recordsInPass;

    // A signal that interrupts the wait does not end it: it goes on for the time left.
    const double passEnd = limited ? (wholeRun ? deadline : getMonotonicTime() + timeout) : 0.0;
    int nEvents;
    do {
      nEvents = ::poll(fds, nfds, limited ? toPollTimeout(passEnd - getMonotonicTime()) : -1);
    } while (nEvents < 0 && errno == EINTR);
    if (nEvents < 0) {
      XmlRpcUtil::error("Error in XmlRpcDispatch::work: error in poll (%d).", nEvents);
      _inWork = false;
      return true;
    }
    for (nfds_t i = 0; i < nfds; ++i) {
      if (fds[i].revents & POLLNVAL) {
        XmlRpcUtil::error(
            "Error in XmlRpcDispatch::work: error in poll (descriptor %d is not open).", fds[i].fd);
        _inWork = false;
        return true;
      }
    }

    // Only the records present when the pass began are dispatched: a source
    // that registers again from its handler waits for the next poll().
    auto it = _sources.begin();
    for (size_t i = 0; i < recordsInPass; ++i, ++it) {
      XmlRpcSource* src = it->_src;
      const pollfd& p = fds[i];
      // A source closed earlier in this pass may have lost or changed its descriptor.
      if (src == nullptr || p.fd < 0 || src->getfd() != p.fd) continue;

      // An error or a hang-up goes to the source as the reading or writing it
      // waits for, where its next read or write meets it; to a source that
      // waits for neither, as an exceptional condition. poll() reports them
      // whatever was asked, so one that no handler heard would spin the loop.
      const short ended = p.revents & (POLLERR | POLLHUP);
      const bool readable = (p.events & POLLIN) && (p.revents & (POLLIN | ended));
      const bool writable = (p.events & POLLOUT) && (p.revents & (POLLOUT | ended));
      const bool urgent = (p.revents & POLLPRI) || (ended && !(p.events & (POLLIN | POLLOUT)));

      unsigned newMask = ALL_EVENTS;
      if (readable) newMask &= src->handleEvent(EventReadable);
      if (it->_src != nullptr && writable) newMask &= src->handleEvent(EventWritable);
      if (it->_src != nullptr && urgent) newMask &= src->handleEvent(EventException);

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
