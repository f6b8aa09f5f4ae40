// The exception thrown by value operations on a type mismatch, a short array
// or a missing struct member.
#ifndef CORVANE_XMLRPCEXCEPTION_H
#define CORVANE_XMLRPCEXCEPTION_H

#include <exception>
#include <string>

namespace XmlRpc {

class XmlRpcException : public std::exception {
 public:
  XmlRpcException(const std::string& message, int code = -1);
  ~XmlRpcException() override;

  const std::string& getMessage() const { return _message; }
  int getCode() const { return _code; }

  // The message, for a caller that catches std::exception.
  const char* what() const noexcept override { return _message.c_str(); }

 private:
  std::string _message;
  int _code;
};

}  // namespace XmlRpc

#endif
