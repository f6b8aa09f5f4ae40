// A single-threaded event loop: waits with select() for the sources it
// watches and calls each ready one back, one event bit at a time.
#ifndef CORVANE_XMLRPCDISPATCH_H
#define CORVANE_XMLRPCDISPATCH_H

#include <list>

namespace XmlRpc {

class XmlRpcSource;

class XmlRpcDispatch {
 public:
  XmlRpcDispatch();
  // Frees the list only; the sources are neither closed nor deleted.
  ~XmlRpcDispatch();

  enum EventType {
    EventReadable = 1,   // data or end of file can be read
    EventWritable = 2,   // data can be written, or a connect has finished
    EventException = 4,  // an exceptional condition
  };

  // Watches `source` (not owned) for the events of `eventMask`.
  void addSource(XmlRpcSource* source, unsigned eventMask);
  // Stops watching the first record of `source`; never closes it.
  void removeSource(XmlRpcSource* source);
  void setSourceEvents(XmlRpcSource* source, unsigned eventMask);

  // Runs until no source is left, `timeout` seconds have passed (negative:
  // no limit), exit() was called, or select() failed.
  void work(double timeout);
  // Makes a running work() return after its current pass.
  void exit();
  // Drops and closes every source; inside work() at the end of the pass.
  void clear();

 protected:
  // Wall-clock time in seconds.
  double getTime();

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
  double _endTime;
  bool _doClear;
  bool _inWork;
};

}  // namespace XmlRpc

#endif
