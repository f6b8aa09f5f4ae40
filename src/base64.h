// Base64 coding (the RFC 4648 alphabet) between byte ranges and any sink, one
// character at a time: lines of 72 characters, each ended by a single line feed.
#ifndef CORVANE_BASE64_H
#define CORVANE_BASE64_H

#include <cstddef>
#include <string>
#include <vector>

namespace XmlRpc {

template <class CharT = char, class Traits = std::char_traits<CharT>>
class base64 {
 public:
  typedef unsigned char byte_t;
  typedef CharT char_type;
  typedef Traits traits_type;

  // What `get` reports through its status word; `put` always reports STATUS_DONE.
  static constexpr int STATUS_DONE = 0;     // the input ended between two groups
  static constexpr int STATUS_PADDED = 1;   // decoding stopped at a "="
  static constexpr int STATUS_PARTIAL = 2;  // the input ended inside a group, which was dropped

  // Classes of an input character besides its digit value 0..63.
  static constexpr int PAD_CHAR = -1;
  static constexpr int OTHER_CHAR = -2;

  // Mail-safe line width: 18 groups of four characters.
  static constexpr int GROUPS_PER_LINE = 18;

  static constexpr int _base64Chars[64] = {
      'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
      'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
      'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
      'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

  // Three bytes seen as four 6-bit digits.
  class three2four {
   public:
    void zero() { _data[0] = _data[1] = _data[2] = 0; }

    byte_t get_0() const { return _data[0]; }
    byte_t get_1() const { return _data[1]; }
    byte_t get_2() const { return _data[2]; }
    void set_0(byte_t b) { _data[0] = b; }
    void set_1(byte_t b) { _data[1] = b; }
    void set_2(byte_t b) { _data[2] = b; }

    int b64_0() const { return _data[0] >> 2; }
    int b64_1() const { return ((_data[0] & 0x03) << 4) | (_data[1] >> 4); }
    int b64_2() const { return ((_data[1] & 0x0F) << 2) | (_data[2] >> 6); }
    int b64_3() const { return _data[2] & 0x3F; }
    void b64_0(int d) { _data[0] = byte_t((_data[0] & 0x03) | ((d & 0x3F) << 2)); }
    void b64_1(int d) {
      _data[0] = byte_t((_data[0] & 0xFC) | ((d & 0x3F) >> 4));
      _data[1] = byte_t((_data[1] & 0x0F) | ((d & 0x0F) << 4));
    }
    void b64_2(int d) {
      _data[1] = byte_t((_data[1] & 0xF0) | ((d & 0x3F) >> 2));
      _data[2] = byte_t((_data[2] & 0x3F) | ((d & 0x03) << 6));
    }
    void b64_3(int d) { _data[2] = byte_t((_data[2] & 0xC0) | (d & 0x3F)); }

   private:
    byte_t _data[3] = {0, 0, 0};
  };

  // Ends a line with a single line feed.
  struct crlf {
    template <class OutputIt>
    OutputIt operator()(OutputIt out) const {
      *out = CharT('\n');
      ++out;
      return out;
    }
  };

  // The digit value of `ch`, PAD_CHAR for "=", OTHER_CHAR for anything else.
  static int _getCharType(int ch) {
    static constexpr CharTypes types = charTypes();
    return (ch >= 0 && ch < 256) ? types.type[ch] : OTHER_CHAR;
  }

  // Encodes the bytes of [first, last) into `out`; returns where it stopped (`last`).
  template <class InputIt, class OutputIt>
  static InputIt put(InputIt first, InputIt last, OutputIt out, int& status,
                     crlf lineEnd = crlf()) {
    three2four group;
    int lineGroups = 0;
    while (first != last) {
      group.zero();
      group.set_0(byte_t(*first));
      if (++first == last) {
        out = digit(out, group.b64_0());
        out = digit(out, group.b64_1());
        out = pad(pad(out));
        break;
      }
      group.set_1(byte_t(*first));
      if (++first == last) {
        out = digit(out, group.b64_0());
        out = digit(out, group.b64_1());
        out = digit(out, group.b64_2());
        out = pad(out);
        break;
      }
      group.set_2(byte_t(*first));
      ++first;
      out = digit(out, group.b64_0());
      out = digit(out, group.b64_1());
      out = digit(out, group.b64_2());
      out = digit(out, group.b64_3());
      if (++lineGroups == GROUPS_PER_LINE) {
        out = lineEnd(out);
        lineGroups = 0;
      }
    }
    status = STATUS_DONE;
    return first;
  }

  // Decodes [first, last) into `out`, skipping every character outside the
  // alphabet, up to the "=" that ends a group; returns the position after the
  // last character read.
  template <class InputIt, class OutputIt>
  static InputIt get(InputIt first, InputIt last, OutputIt out, int& status) {
    three2four group;
    int digits = 0;
    while (first != last) {
      const int type = _getCharType(Traits::to_int_type(*first));
      ++first;
      if (type == OTHER_CHAR) continue;
      if (type == PAD_CHAR) {
        if (digits >= 2) out = byte(out, group.get_0());
        if (digits == 3) out = byte(out, group.get_1());
        status = STATUS_PADDED;
        return first;
      }
      switch (digits++) {
        case 0:
          group.b64_0(type);
          break;
        case 1:
          group.b64_1(type);
          break;
        case 2:
          group.b64_2(type);
          break;
        default:
          group.b64_3(type);
          out = byte(out, group.get_0());
          out = byte(out, group.get_1());
          out = byte(out, group.get_2());
          digits = 0;
          break;
      }
    }
    status = digits == 0 ? STATUS_DONE : STATUS_PARTIAL;
    return first;
  }

  // Appends to `out` exactly the text that put() writes for [data, data + size),
  // sized once and written through a pointer.
  static void putAppend(const char* data, std::size_t size, std::basic_string<CharT, Traits>& out) {
    const std::size_t groups = size / 3;
    const std::size_t textSize = groups * 4 + (size % 3 != 0 ? 4 : 0) + groups / GROUPS_PER_LINE;
    const std::size_t oldSize = out.size();
    out.resize(oldSize + textSize);
    CharT* p = &out[oldSize];
    const byte_t* in = reinterpret_cast<const byte_t*>(data);
    const byte_t* const fullEnd = in + groups * 3;
    int lineGroups = 0;
    while (in != fullEnd) {
      const unsigned v = (unsigned(in[0]) << 16) | (unsigned(in[1]) << 8) | in[2];
      in += 3;
      p[0] = CharT(_base64Chars[v >> 18]);
      p[1] = CharT(_base64Chars[(v >> 12) & 0x3F]);
      p[2] = CharT(_base64Chars[(v >> 6) & 0x3F]);
      p[3] = CharT(_base64Chars[v & 0x3F]);
      p += 4;
      if (++lineGroups == GROUPS_PER_LINE) {
        *p++ = CharT('\n');
        lineGroups = 0;
      }
    }
    const std::size_t left = size % 3;
    if (left != 0) {
      const unsigned v = (unsigned(in[0]) << 16) | (left == 2 ? unsigned(in[1]) << 8 : 0u);
      p[0] = CharT(_base64Chars[v >> 18]);
      p[1] = CharT(_base64Chars[(v >> 12) & 0x3F]);
      p[2] = left == 2 ? CharT(_base64Chars[(v >> 6) & 0x3F]) : CharT('=');
      p[3] = CharT('=');
    }
  }

  // Appends to `out` exactly the bytes that get() gives for [first, last).
  static void getAppend(const CharT* first, const CharT* last, std::vector<char>& out) {
    const std::size_t oldSize = out.size();
    // At most three bytes for every four characters.
    out.resize(oldSize + std::size_t(last - first) / 4 * 3 + 3);
    char* p = out.data() + oldSize;
    unsigned acc = 0;
    int digits = 0;
    while (first != last) {
      if (digits == 0) {
        // Whole groups of four alphabet characters, the common case.
        while (last - first >= 4) {
          const int a = _getCharType(Traits::to_int_type(first[0]));
          const int b = _getCharType(Traits::to_int_type(first[1]));
          const int c = _getCharType(Traits::to_int_type(first[2]));
          const int d = _getCharType(Traits::to_int_type(first[3]));
          if ((a | b | c | d) < 0) break;
          const unsigned v =
              (unsigned(a) << 18) | (unsigned(b) << 12) | (unsigned(c) << 6) | unsigned(d);
          p[0] = static_cast<char>(v >> 16);
          p[1] = static_cast<char>(v >> 8);
          p[2] = static_cast<char>(v);
          p += 3;
          first += 4;
        }
        if (first == last) break;
      }
      const int type = _getCharType(Traits::to_int_type(*first));
      ++first;
      if (type == OTHER_CHAR) continue;
      if (type == PAD_CHAR) {
        if (digits == 2) *p++ = static_cast<char>(acc >> 4);
        if (digits == 3) {
          *p++ = static_cast<char>(acc >> 10);
          *p++ = static_cast<char>(acc >> 2);
        }
        break;
      }
      acc = (acc << 6) | unsigned(type);
      if (++digits == 4) {
        p[0] = static_cast<char>(acc >> 16);
        p[1] = static_cast<char>(acc >> 8);
        p[2] = static_cast<char>(acc);
        p += 3;
        acc = 0;
        digits = 0;
      }
    }
    out.resize(std::size_t(p - out.data()));
  }

 private:
  struct CharTypes {
    signed char type[256];
  };

  static constexpr CharTypes charTypes() {
    CharTypes t{};
    for (int c = 0; c < 256; ++c)
      t.type[c] = OTHER_CHAR;
    for (int d = 0; d < 64; ++d)
      t.type[_base64Chars[d]] = static_cast<signed char>(d);
    t.type[int('=')] = PAD_CHAR;
    return t;
  }

  template <class OutputIt>
  static OutputIt digit(OutputIt out, int d) {
    *out = CharT(_base64Chars[d]);
    ++out;
    return out;
  }

  template <class OutputIt>
  static OutputIt pad(OutputIt out) {
    *out = CharT('=');
    ++out;
    return out;
  }

  template <class OutputIt>
  static OutputIt byte(OutputIt out, byte_t b) {
    *out = static_cast<char>(b);
    ++out;
    return out;
  }
};

}  // namespace XmlRpc

#endif
