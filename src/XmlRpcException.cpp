// The exception thrown by value operations.
#include "XmlRpcException.h"

namespace XmlRpc {

XmlRpcException::XmlRpcException(const std::string& message, int code)
    : _message(message), _code(code) {}

XmlRpcException::~XmlRpcException() = default;

}  // namespace XmlRpc
