// The exception thrown by value operations on a type mismatch or a short array.
#ifndef CORVANE_XMLRPCEXCEPTION_H
#define CORVANE_XMLRPCEXCEPTION_H

#include <string>

namespace XmlRpc {

class XmlRpcException {
 public:
  XmlRpcException(const std::string& message, int code = -1);
  ~XmlRpcException();

  const std::string& getMessage() const { return _message; }
  int getCode() const { return _code; }

 private:
  std::string _message;
  int _code;
};

}  // namespace XmlRpc

#endif
