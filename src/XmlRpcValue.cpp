// The value type: payload ownership, copying, coercions, equality, access and the
// compact readable form. The XML-RPC text form is in XmlRpcValueXml.cpp.
#include "XmlRpcValue.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <ostream>
#include <utility>

#include "XmlRpcException.h"
#include "base64.h"

namespace XmlRpc {

namespace {

typedef base64<char> Base64Coder;

bool tmEq(const tm& t1, const tm& t2) {
  return t1.tm_year == t2.tm_year && t1.tm_mon == t2.tm_mon && t1.tm_mday == t2.tm_mday &&
         t1.tm_hour == t2.tm_hour && t1.tm_min == t2.tm_min && t1.tm_sec == t2.tm_sec;
}

}  // namespace

void XmlRpcValue::formatDate(const tm& t, char (&buf)[DATE_BUFFER_SIZE]) {
  std::snprintf(buf, DATE_BUFFER_SIZE - 1, "%4d%02d%02dT%02d:%02d:%02d", t.tm_year, t.tm_mon,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

// ---- Construction, copying and the payload ----

// Room for a string held in place and the tag, and no more.
static_assert(sizeof(XmlRpcValue) <= 40, "a value outgrew a string and its tag");

XmlRpcValue::XmlRpcValue(const std::string& value) : _type(TypeInvalid) {
  new (&_value.asString) std::string(value);
  _type = TypeString;
}

XmlRpcValue::XmlRpcValue(const char* value) : _type(TypeInvalid) {
  new (&_value.asString) std::string(value);
  _type = TypeString;
}

XmlRpcValue::XmlRpcValue(tm* value) : _type(TypeInvalid) {
  _value.asTime = new tm(*value);
  _type = TypeDateTime;
}

XmlRpcValue::XmlRpcValue(void* value, int nBytes) : _type(TypeInvalid) {
  const char* bytes = static_cast<const char*>(value);
  new (&_value.asBinary) BinaryData(bytes, bytes + (nBytes > 0 ? nBytes : 0));
  _type = TypeBase64;
}

XmlRpcValue XmlRpcValue::nil() {
  XmlRpcValue value;
  value._type = TypeNil;
  return value;
}

XmlRpcValue::XmlRpcValue(const XmlRpcValue& rhs) : _type(TypeInvalid) {
  copyPayload(rhs);
}

void XmlRpcValue::invalidate() {
  switch (_type) {
    case TypeString:
      _value.asString.~basic_string();
      break;
    case TypeDateTime:
      delete _value.asTime;
      break;
    case TypeBase64:
      _value.asBinary.~BinaryData();
      break;
    case TypeArray:
      _value.asArray.~ValueArray();
      break;
    case TypeStruct:
      delete _value.asStruct;
      break;
    default:
      break;
  }
  _type = TypeInvalid;
  _value.asTime = nullptr;
}

void XmlRpcValue::copyPayload(const XmlRpcValue& rhs) {
  switch (rhs._type) {
    case TypeString:
      new (&_value.asString) std::string(rhs._value.asString);
      break;
    case TypeDateTime:
      _value.asTime = new tm(*rhs._value.asTime);
      break;
    case TypeBase64:
      new (&_value.asBinary) BinaryData(rhs._value.asBinary);
      break;
    case TypeArray:
      new (&_value.asArray) ValueArray(rhs._value.asArray);
      break;
    case TypeStruct:
      _value.asStruct = new ValueStruct(*rhs._value.asStruct);
      break;
    default:
      // A scalar or a pointer: its bytes are the whole payload.
      std::memcpy(static_cast<void*>(&_value), &rhs._value, sizeof(double));
      break;
  }
  _type = rhs._type;
}

void XmlRpcValue::replacePayload(XmlRpcValue& other) noexcept {
  invalidate();
  takePayload(other);
}

void XmlRpcValue::growArray(ValueArray& array, std::size_t size, std::size_t capacity) {
  if (size > array.capacity()) array.reserve(capacity);
  array.resize(size);
}

XmlRpcValue& XmlRpcValue::operator=(const XmlRpcValue& rhs) {
  if (this != &rhs) {
    // The copy is complete before the old payload goes: `rhs` may live inside it.
    XmlRpcValue copy(rhs);
    replacePayload(copy);
  }
  return *this;
}

XmlRpcValue& XmlRpcValue::operator=(XmlRpcValue&& rhs) noexcept {
  if (this != &rhs) {
    // Taken before the old payload goes: `rhs` may live inside it.
    XmlRpcValue taken(std::move(rhs));
    replacePayload(taken);
  }
  return *this;
}

XmlRpcValue& XmlRpcValue::operator=(const bool& rhs) {
  invalidate();
  _value.asBool = rhs;
  _type = TypeBoolean;
  return *this;
}

XmlRpcValue& XmlRpcValue::operator=(const int& rhs) {
  invalidate();
  _value.asInt = rhs;
  _type = TypeInt;
  return *this;
}

XmlRpcValue& XmlRpcValue::operator=(const double& rhs) {
  invalidate();
  _value.asDouble = rhs;
  _type = TypeDouble;
  return *this;
}

XmlRpcValue& XmlRpcValue::operator=(const char* rhs) {
  XmlRpcValue copy(rhs);
  replacePayload(copy);
  return *this;
}

bool XmlRpcValue::operator==(const XmlRpcValue& other) const {
  if (_type != other._type) return false;
  switch (_type) {
    case TypeBoolean:
      return _value.asBool == other._value.asBool;
    case TypeInt:
      return _value.asInt == other._value.asInt;
    case TypeDouble:
      return _value.asDouble == other._value.asDouble;
    case TypeString:
      return _value.asString == other._value.asString;
    case TypeDateTime:
      return tmEq(*_value.asTime, *other._value.asTime);
    case TypeBase64:
      return _value.asBinary == other._value.asBinary;
    case TypeArray:
      return _value.asArray == other._value.asArray;
    case TypeStruct:
      // Names and values: {a = 1} and {b = 1} differ.
      return *_value.asStruct == *other._value.asStruct;
    default:
      return true;
  }
}

bool XmlRpcValue::operator!=(const XmlRpcValue& other) const {
  return !(*this == other);
}

// ---- Coercions and access ----

void XmlRpcValue::assertTypeOrInvalid(Type t) {
  if (_type == TypeInvalid) {
    switch (t) {
      case TypeBoolean:
        _value.asBool = false;
        break;
      case TypeInt:
        _value.asInt = 0;
        break;
      case TypeDouble:
        _value.asDouble = 0.0;
        break;
      case TypeString:
        new (&_value.asString) std::string();
        break;
      case TypeDateTime:
        _value.asTime = new tm();
        break;
      case TypeBase64:
        new (&_value.asBinary) BinaryData();
        break;
      case TypeArray:
        new (&_value.asArray) ValueArray();
        break;
      case TypeStruct:
        _value.asStruct = new ValueStruct();
        break;
      case TypeNil:
        break;
      default:
        return;
    }
    _type = t;
  } else if (_type != t) {
    throw XmlRpcException("type error");
  }
}

void XmlRpcValue::assertType(Type t) const {
  if (_type != t) throw XmlRpcException("type error");
}

void XmlRpcValue::assertArray(int size) const {
  if (_type != TypeArray) throw XmlRpcException("type error: expected an array");
  if (static_cast<long long>(_value.asArray.size()) < size) {
    throw XmlRpcException("range error: array index too large");
  }
}

void XmlRpcValue::assertArray(int size) {
  if (_type == TypeInvalid) {
    // A negative size cannot be allocated; the failure leaves the value invalid.
    new (&_value.asArray) ValueArray(static_cast<std::size_t>(size));
    _type = TypeArray;
  } else if (_type == TypeArray) {
    if (static_cast<long long>(_value.asArray.size()) < size) {
      growArray(_value.asArray, static_cast<std::size_t>(size), static_cast<std::size_t>(size));
    }
  } else {
    throw XmlRpcException("type error: expected an array");
  }
}

void XmlRpcValue::assertStruct() {
  if (_type == TypeInvalid) {
    _value.asStruct = new ValueStruct();
    _type = TypeStruct;
  } else if (_type != TypeStruct) {
    throw XmlRpcException("type error: expected a struct");
  }
}

XmlRpcValue::operator bool&() {
  assertTypeOrInvalid(TypeBoolean);
  return _value.asBool;
}

XmlRpcValue::operator int&() {
  assertTypeOrInvalid(TypeInt);
  return _value.asInt;
}

XmlRpcValue::operator double&() {
  assertTypeOrInvalid(TypeDouble);
  return _value.asDouble;
}

XmlRpcValue::operator std::string&() {
  assertTypeOrInvalid(TypeString);
  return _value.asString;
}

XmlRpcValue::operator BinaryData&() {
  assertTypeOrInvalid(TypeBase64);
  return _value.asBinary;
}

XmlRpcValue::operator tm&() {
  assertTypeOrInvalid(TypeDateTime);
  return *_value.asTime;
}

XmlRpcValue::operator bool() const {
  assertType(TypeBoolean);
  return _value.asBool;
}

XmlRpcValue::operator int() const {
  assertType(TypeInt);
  return _value.asInt;
}

XmlRpcValue::operator double() const {
  assertType(TypeDouble);
  return _value.asDouble;
}

XmlRpcValue::operator const std::string&() const {
  assertType(TypeString);
  return _value.asString;
}

XmlRpcValue::operator const BinaryData&() const {
  assertType(TypeBase64);
  return _value.asBinary;
}

XmlRpcValue::operator const tm&() const {
  assertType(TypeDateTime);
  return *_value.asTime;
}

const XmlRpcValue& XmlRpcValue::operator[](int i) const {
  assertArray(i < INT_MAX ? i + 1 : i);
  return _value.asArray.at(static_cast<std::size_t>(i));
}

XmlRpcValue& XmlRpcValue::operator[](int i) {
  // No array can grow to hold a negative index or INT_MAX: those only coerce
  // the type, and the element access throws std::out_of_range.
  assertArray(i >= 0 && i < INT_MAX ? i + 1 : 0);
  return _value.asArray.at(static_cast<std::size_t>(i));
}

XmlRpcValue& XmlRpcValue::operator[](const std::string& name) {
  assertStruct();
  return (*_value.asStruct)[name];
}

XmlRpcValue& XmlRpcValue::operator[](const char* name) {
  assertStruct();
  return (*_value.asStruct)[name];
}

const XmlRpcValue& XmlRpcValue::operator[](const std::string& name) const {
  if (_type != TypeStruct) throw XmlRpcException("type error: expected a struct");
  const auto member = _value.asStruct->find(name);
  if (member == _value.asStruct->end())
    throw XmlRpcException("range error: no struct member " + name);
  return member->second;
}

const XmlRpcValue& XmlRpcValue::operator[](const char* name) const {
  return (*this)[std::string(name)];
}

int XmlRpcValue::size() const {
  switch (_type) {
    case TypeString:
      return static_cast<int>(_value.asString.size());
    case TypeBase64:
      return static_cast<int>(_value.asBinary.size());
    case TypeArray:
      return static_cast<int>(_value.asArray.size());
    case TypeStruct:
      return static_cast<int>(_value.asStruct->size());
    default:
      throw XmlRpcException("type error");
  }
}

void XmlRpcValue::setSize(int size) {
  assertArray(size);
}

bool XmlRpcValue::hasMember(const std::string& name) const {
  return _type == TypeStruct && _value.asStruct->count(name) != 0;
}

// ---- Readable text ----

std::ostream& XmlRpcValue::write(std::ostream& os) const {
  switch (_type) {
    case TypeBoolean:
      os << _value.asBool;
      break;
    case TypeInt:
      os << _value.asInt;
      break;
    case TypeDouble:
      os << _value.asDouble;
      break;
    case TypeString:
      os << _value.asString;
      break;
    case TypeDateTime: {
      char buf[DATE_BUFFER_SIZE];
      formatDate(*_value.asTime, buf);
      os << buf;
      break;
    }
    case TypeBase64: {
      int status = 0;
      Base64Coder::put(_value.asBinary.begin(), _value.asBinary.end(),
                       std::ostreambuf_iterator<char>(os), status, Base64Coder::crlf());
      break;
    }
    case TypeArray: {
      os << '{';
      bool first = true;
      for (const XmlRpcValue& element : _value.asArray) {
        if (!first) os << ',';
        element.write(os);
        first = false;
      }
      os << '}';
      break;
    }
    case TypeStruct: {
      os << '[';
      bool first = true;
      for (const auto& member : *_value.asStruct) {
        if (!first) os << ',';
        os << member.first << ':';
        member.second.write(os);
        first = false;
      }
      os << ']';
      break;
    }
    case TypeNil:
      os << "nil";
      break;
    default:
      break;
  }
  return os;
}

}  // namespace XmlRpc

std::ostream& operator<<(std::ostream& os, const XmlRpc::XmlRpcValue& v) {
  return v.write(os);
}
