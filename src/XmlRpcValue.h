// The value type of the stack: one XML-RPC value of any type, owning its
// payload, with its XML-RPC text form and a compact readable form.
#ifndef CORVANE_XMLRPCVALUE_H
#define CORVANE_XMLRPCVALUE_H

#include <cstring>
#include <ctime>
#include <iosfwd>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace XmlRpc {

class XmlRpcValue {
 public:
  enum Type {
    TypeInvalid,
    TypeBoolean,
    TypeInt,
    TypeDouble,
    TypeString,
    TypeDateTime,
    TypeBase64,
    TypeArray,
    TypeStruct,
    // The absence of a value, as <nil/>.
    TypeNil
  };

  // Decoding fails on values nested deeper than this many arrays and structs,
  // so that a hostile peer cannot overflow the stack with a deeply nested reply.
  static constexpr int MAX_NESTING_DEPTH = 1024;

  typedef std::vector<char> BinaryData;
  typedef std::vector<XmlRpcValue> ValueArray;
  typedef std::map<std::string, XmlRpcValue> ValueStruct;

  // An invalid value.
  XmlRpcValue() : _type(TypeInvalid) {}
  XmlRpcValue(bool value) : _type(TypeBoolean) { _value.asBool = value; }
  XmlRpcValue(int value) : _type(TypeInt) { _value.asInt = value; }
  XmlRpcValue(double value) : _type(TypeDouble) { _value.asDouble = value; }
  XmlRpcValue(const std::string& value);
  XmlRpcValue(const char* value);
  // A date-time holding its own copy of the record; the fields are kept as given.
  XmlRpcValue(tm* value);
  // Binary data: its own copy of `nBytes` bytes.
  XmlRpcValue(void* value, int nBytes);
  // Decodes one <value> element of `xml` at `*offset`; invalid when that fails.
  XmlRpcValue(const std::string& xml, int* offset);
  // A deep copy.
  XmlRpcValue(const XmlRpcValue& rhs);
  // A nil value, sent as <nil/>; equal only to another nil.
  static XmlRpcValue nil();
  // Takes over the payload of `rhs`, which becomes invalid.
  XmlRpcValue(XmlRpcValue&& rhs) noexcept : _type(TypeInvalid) { takePayload(rhs); }

  // Elements left behind by a growing array are invalid: they cost no call.
  ~XmlRpcValue() {
    if (_type != TypeInvalid) invalidate();
  }

  // Frees the payload; the value becomes invalid.
  void clear() { invalidate(); }

  // Deep copy.
  XmlRpcValue& operator=(const XmlRpcValue& rhs);
  // Takes over the payload of `rhs`, which becomes invalid.
  XmlRpcValue& operator=(XmlRpcValue&& rhs) noexcept;
  XmlRpcValue& operator=(const bool& rhs);
  XmlRpcValue& operator=(const int& rhs);
  XmlRpcValue& operator=(const double& rhs);
  XmlRpcValue& operator=(const char* rhs);

  bool operator==(const XmlRpcValue& other) const;
  bool operator!=(const XmlRpcValue& other) const;

  // The payload of that type; an invalid value becomes that type first, a
  // value of another type throws "type error".
  operator bool&();
  operator int&();
  operator double&();
  operator std::string&();
  operator BinaryData&();
  operator tm&();

  // The payload of a const value; a value of another type, the invalid one
  // included, throws "type error".
  operator bool() const;
  operator int() const;
  operator double() const;
  operator const std::string&() const;
  operator const BinaryData&() const;
  operator const tm&() const;

  // Array element `i`; a non-const access makes an invalid value an array and
  // grows an array to hold `i`.
  const XmlRpcValue& operator[](int i) const;
  XmlRpcValue& operator[](int i);

  // Struct member `name`, added (invalid) when missing; an invalid value
  // becomes an empty struct first.
  XmlRpcValue& operator[](const std::string& name);
  XmlRpcValue& operator[](const char* name);
  // Struct member `name` of a const value; a missing member throws instead
  // of being added.
  const XmlRpcValue& operator[](const std::string& name) const;
  const XmlRpcValue& operator[](const char* name) const;

  bool valid() const { return _type != TypeInvalid; }
  const Type& getType() const { return _type; }

  // Bytes of a string or binary value, elements of an array, members of a
  // struct; "type error" for every other type.
  int size() const;
  // Makes the value an array of at least `size` elements.
  void setSize(int size);

  bool hasMember(const std::string& name) const;

  // Replaces the value by the <value> element at `*offset` of `valueXml` and
  // moves the offset past it; on failure the value is invalid and the offset
  // is unchanged.
  bool fromXml(const std::string& valueXml, int* offset);
  // As above; when the read fails, `failure` says what could not be read, such
  // as an integer beyond 32 bits, and is empty when there is nothing to add (no
  // <value> where one should start, say).
  bool fromXml(const std::string& valueXml, int* offset, std::string& failure);
  // One <value> element; the empty text for an invalid value.
  std::string toXml() const;
  // Appends the same text to `xml`.
  void toXml(std::string& xml) const;

  // The compact readable form, for diagnostics.
  std::ostream& write(std::ostream& os) const;

  // The printf format, taking one double, used for every double written. It is
  // process-wide and read without a lock: set it before threads that call start.
  static const std::string& getDoubleFormat() { return _doubleFormat; }
  static void setDoubleFormat(const char* format) { _doubleFormat = format; }

 protected:
  void invalidate();

  void assertTypeOrInvalid(Type t);
  // Checks that the type is `t`; an invalid value does not pass.
  void assertType(Type t) const;
  void assertArray(int size) const;
  void assertArray(int size);
  void assertStruct();

  bool boolFromXml(const std::string& valueXml, int* offset);
  bool intFromXml(const std::string& valueXml, int* offset);
  bool doubleFromXml(const std::string& valueXml, int* offset);
  bool stringFromXml(const std::string& valueXml, int* offset);
  bool timeFromXml(const std::string& valueXml, int* offset);
  bool binaryFromXml(const std::string& valueXml, int* offset);
  bool arrayFromXml(const std::string& valueXml, int* offset);
  bool structFromXml(const std::string& valueXml, int* offset);

  std::string boolToXml() const;
  std::string intToXml() const;
  std::string doubleToXml() const;
  std::string stringToXml() const;
  std::string timeToXml() const;
  std::string binaryToXml() const;
  std::string arrayToXml() const;
  std::string structToXml() const;

  // The writers appending to `xml`.
  void boolToXml(std::string& xml) const;
  void intToXml(std::string& xml) const;
  void doubleToXml(std::string& xml) const;
  void stringToXml(std::string& xml) const;
  void timeToXml(std::string& xml) const;
  void binaryToXml(std::string& xml) const;
  void arrayToXml(std::string& xml) const;
  void structToXml(std::string& xml) const;

  Type _type;
  // A string, byte vector or array lives in the value itself: reading one
  // costs no heap object around its own buffer. Which member is alive is
  // `_type`'s to say; the value constructs and destroys it.
  union Payload {
    Payload() : asTime(nullptr) {}
    ~Payload() {}
    bool asBool;
    int asInt;
    double asDouble;
    tm* asTime;
    std::string asString;
    BinaryData asBinary;
    ValueArray asArray;
    ValueStruct* asStruct;
  } _value;

  static std::string _doubleFormat;

 private:
  class XmlWriter;

  // Makes this invalid value a deep copy of `rhs`.
  void copyPayload(const XmlRpcValue& rhs);
  // Makes this invalid value the owner of the payload of `rhs`, which becomes invalid.
  void takePayload(XmlRpcValue& rhs) noexcept;
  // Frees the payload and takes over that of `other`, which becomes invalid.
  void replacePayload(XmlRpcValue& other) noexcept;
  // Writes the XML text of the payload taken as of type `type`.
  void writeXml(XmlWriter& out, Type type) const;
  void writeAs(std::string& xml, Type type) const;
  std::string writtenAs(Type type) const;
  // Grows `array` to `size` elements, reallocating to `capacity` when it must;
  // the old elements then hand over their payloads instead of being deep-copied.
  static void growArray(ValueArray& array, std::size_t size, std::size_t capacity);

  // A well-formed date is 17 characters; out-of-range fields are cut at 18.
  static constexpr int DATE_BUFFER_SIZE = 20;
  // The date text "YYYYMMDDTHH:MM:SS" of the record's fields as stored.
  static void formatDate(const tm& t, char (&buf)[DATE_BUFFER_SIZE]);
};

// Inline: the reader moves every element of an array twice.
inline void XmlRpcValue::takePayload(XmlRpcValue& rhs) noexcept {
  switch (rhs._type) {
    case TypeString:
      new (&_value.asString) std::string(std::move(rhs._value.asString));
      rhs._value.asString.~basic_string();
      break;
    case TypeBase64:
      new (&_value.asBinary) BinaryData(std::move(rhs._value.asBinary));
      rhs._value.asBinary.~BinaryData();
      break;
    case TypeArray:
      new (&_value.asArray) ValueArray(std::move(rhs._value.asArray));
      rhs._value.asArray.~ValueArray();
      break;
    default:
      // A scalar or a pointer, which now belongs to this value alone.
      std::memcpy(static_cast<void*>(&_value), &rhs._value, sizeof(double));
      break;
  }
  _type = rhs._type;
  rhs._type = TypeInvalid;
  rhs._value.asTime = nullptr;
}

}  // namespace XmlRpc

// Writes the readable form of `v` to `os`.
std::ostream& operator<<(std::ostream& os, const XmlRpc::XmlRpcValue& v);

#endif
