// An event loop on the caller's thread: waits with poll() for the sources it
// watches, whatever their descriptor numbers, and calls each ready one back,
// one event bit at a time.
#ifndef CORVANE_XMLRPCDISPATCH_H
#define CORVANE_XMLRPCDISPATCH_H

#include <poll.h>

#include <list>
#include <vector>

namespace XmlRpc {

class XmlRpcSource;

class XmlRpcDispatch {
 public:
  XmlRpcDispatch();
  // Frees the list only; the sources are neither closed nor deleted.
  ~XmlRpcDispatch();

  enum EventType {
    EventReadable = 1,   // data, end of file, an error or a hang-up can be read
    EventWritable = 2,   // data can be written, a connect has ended, or an error
    EventException = 4,  // urgent data
  };

  // Watches `source` (not owned) for the events of `eventMask`.
  void addSource(XmlRpcSource* source, unsigned eventMask);
  // Stops watching the first record of `source`; never closes it.
  void removeSource(XmlRpcSource* source);
  void setSourceEvents(XmlRpcSource* source, unsigned eventMask);

  // Runs until no source is left, `timeout` seconds have passed (negative:
  // no limit), exit() was called, or poll() failed (a descriptor that is not
  // open included). Each pass may wait the whole `timeout` again. A signal
  // that interrupts a wait does not end it; waits are whole milliseconds,
  // rounded up.
  void work(double timeout);
  // Runs like work(), but `timeout` bounds the whole run: each wait lasts at
  // most for the time left, measured on a clock that changes of the wall
  // clock do not move. Negative means no limit. Returns false when the time
  // ran out before the run ended otherwise (no source left, exit(), or a
  // poll() failure).
  bool workFor(double timeout);
  // Makes a running work() or workFor() return after its current pass.
  void exit();
  // Drops and closes every source; inside work() at the end of the pass.
  void clear();

 protected:
  // Wall-clock time in seconds.
  double getTime();
  // Seconds on CLOCK_MONOTONIC.
  static double getMonotonicTime();

  class MonitoredSource {
   public:
    MonitoredSource(XmlRpcSource* src, unsigned mask) : _src(src), _mask(mask) {}
    XmlRpcSource* getSource() const { return _src; }
    unsigned& getMask() { return _mask; }

   private:
    friend class XmlRpcDispatch;
    XmlRpcSource* _src;  // null once removed during work(); erased after the pass
    unsigned _mask;
  };

  typedef std::list<MonitoredSource> SourceList;

  // Empties the list, then closes each source that was in it.
  void closeAll();

  SourceList _sources;
  // The poll() set of the current pass, kept so that a pass allocates nothing.
  std::vector<pollfd> _pollFds;
  double _endTime;
  bool _doClear;
  bool _inWork;

 private:
  // The loop of work() and workFor(): `wholeRun` tells whether `timeout`
  // bounds the run or each pass. False when the run's time ran out.
  bool run(double timeout, bool wholeRun);
};

}  // namespace XmlRpc

#endif
