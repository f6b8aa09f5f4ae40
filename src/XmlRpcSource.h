// The base of anything that owns a descriptor and is watched by a dispatcher.
#ifndef CORVANE_XMLRPCSOURCE_H
#define CORVANE_XMLRPCSOURCE_H

namespace XmlRpc {

class XmlRpcSource {
 public:
  XmlRpcSource(int fd = -1, bool deleteOnClose = false);
  // Does not close the descriptor.
  virtual ~XmlRpcSource();

  int getfd() const { return _fd; }
  void setfd(int fd) { _fd = fd; }

  // A source that keeps itself open is not closed when the dispatcher drops it.
  bool getKeepOpen() const { return _keepOpen; }
  void setKeepOpen(bool keepOpen = true) { _keepOpen = keepOpen; }

  // Closes the descriptor, if any; a delete-on-close source then destroys itself.
  virtual void close();

  // Called with exactly one event bit; returns the mask wanted from now on,
  // 0 to be dropped by the dispatcher.
  virtual unsigned handleEvent(unsigned eventType) = 0;

 private:
  int _fd;
  bool _deleteOnClose;
  bool _keepOpen;
};

}  // namespace XmlRpc

#endif
