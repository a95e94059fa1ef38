#include "console/json_line.h"

#include <array>
#include <charconv>
#include <mutex>

#include "console/line_writer.h"
#include "console/output_sink.h"
#include "support/utf.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace quorrex {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// The ASCII units a JSON string holds as they are: all but the control
// characters, the quote and the backslash.
constexpr auto kPlain = [] {
  std::array<bool, 128> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();
// Copies the run of plain ASCII units at `at` as bytes to `out`, moving
// both past it. Most names are plain ASCII: eight units at a time where the
// processor lets all eight be tested at once, else unit by unit.
void CopyPlain(const char16_t*& at, const char16_t* end, char*& out) {
#if defined(__SSE2__) || defined(_M_X64)
  for (; end - at >= 8; at += 8, out += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    // Plain: 0x20 to 0x7F (below 0x20 wraps round and saturates), but for
    // the quote and the backslash.
    const __m128i above =
        _mm_subs_epu16(_mm_sub_epi16(units, _mm_set1_epi16(0x20)), _mm_set1_epi16(0x5F));
    const __m128i escaped = _mm_or_si128(_mm_cmpeq_epi16(units, _mm_set1_epi16('"')),
                                         _mm_cmpeq_epi16(units, _mm_set1_epi16('\\')));
    const __m128i plain = _mm_andnot_si128(escaped, _mm_cmpeq_epi16(above, _mm_setzero_si128()));
    if (_mm_movemask_epi8(plain) != 0xFFFF) break;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(units, units));
  }
#endif
  while (at < end && *at < 0x80 && kPlain[*at]) *out++ = static_cast<char>(*at++);
}

// A control character below 0x20, escaped; returns the end of what it wrote.
char* EscapeControl(char16_t c, char* out) {
  *out++ = '\\';
  switch (c) {
    case u'\n':
      *out++ = 'n';
      break;
    case u'\r':
      *out++ = 'r';
      break;
    case u'\t':
      *out++ = 't';
      break;
    default:
      *out++ = 'u';
      *out++ = '0';
      *out++ = '0';
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 15];
  }
  return out;
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void AppendBase64Bytes(std::string& out, std::string_view bytes) {
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t{static_cast<uint8_t>(bytes[i])} << 16) |
                       (uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8) |
                       uint32_t{static_cast<uint8_t>(bytes[i + 2])};
    out.push_back(kBase64[v >> 18]);
    out.push_back(kBase64[(v >> 12) & 63]);
    out.push_back(kBase64[(v >> 6) & 63]);
    out.push_back(kBase64[v & 63]);
  }
  if (i < bytes.size()) {
    uint32_t v = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
    const bool two = i + 1 < bytes.size();
    if (two) v |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
    out.push_back(kBase64[v >> 18]);
    out.push_back(kBase64[(v >> 12) & 63]);
    out.push_back(two ? kBase64[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
}

// `record` as a terminal may be given it: DEL and the C1 controls (U+0080 to
// U+009F, which some terminals take as commands: a CSI, an OSC) written as
// \u00XX escapes. They occur only inside strings, as 0x7F and as 0xC2
// followed by 0x80 to 0x9F, since a record is valid UTF-8. The record itself
// when it has none; else the escaped copy, kept in `escaped`.
std::string_view TerminalSafe(std::string_view record, std::string& escaped) {
  const auto isControl = [&record](size_t i) {
    const auto c = static_cast<uint8_t>(record[i]);
    if (c == 0x7F) return 1;
    if (c == 0xC2 && i + 1 < record.size()) {
      const auto next = static_cast<uint8_t>(record[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return 2;
    }
    return 0;
  };
  size_t i = 0;
  while (i < record.size() && isControl(i) == 0) ++i;
  if (i == record.size()) return record;
  escaped.assign(record.substr(0, i));
  while (i < record.size()) {
    const int units = isControl(i);
    if (units == 0) {
      escaped.push_back(record[i++]);
      continue;
    }
    const auto c = static_cast<uint8_t>(units == 1 ? 0x7F : record[i + 1]);
    escaped.append("\\u00");
    escaped.push_back(kHex[c >> 4]);
    escaped.push_back(kHex[c & 15]);
    i += static_cast<size_t>(units);
  }
  return escaped;
}

}  // namespace

JsonLine::JsonLine(std::string& buffer, bool namesAreBytes)
    : out_(buffer), namesAreBytes_(namesAreBytes) {}

JsonLine& JsonLine::Begin(std::string_view type) {
  out_.clear();
  out_.append("{\"type\":\"").append(type).push_back('"');
  return *this;
}

void JsonLine::Key(std::string_view key) {
  out_.append(",\"").append(key).append("\":");
}

JsonLine& JsonLine::Ascii(std::string_view key, std::string_view value) {
  Key(key);
  out_.push_back('"');
  if (value.find_first_of("\"\\") == std::string_view::npos) {
    out_.append(value);
  } else {
    for (const char c : value) {
      if (c == '"' || c == '\\') out_.push_back('\\');
      out_.push_back(c);
    }
  }
  out_.push_back('"');
  return *this;
}

JsonLine& JsonLine::Name(std::string_view key, std::u16string_view value) {
  Key(key);
  if (!AppendString(value)) {
    out_.append(",\"").append(key).append("_base64\":\"");
    AppendBase64(value);
    out_.push_back('"');
  }
  return *this;
}

template <typename View>
JsonLine& JsonLine::NameList(std::string_view key, std::span<const View> values) {
  Key(key);
  out_.push_back('[');
  bool allValid = true;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out_.push_back(',');
    allValid = AppendString(values[i]) && allValid;
  }
  out_.push_back(']');
  if (allValid) return *this;
  // Beside the list, the same list as the system holds it: null for each
  // name that is valid Unicode.
  out_.append(",\"").append(key).append("_base64\":[");
  std::string scratch;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out_.push_back(',');
    scratch.clear();
    JsonLine probe(scratch, namesAreBytes_);
    if (probe.AppendString(values[i])) {
      out_.append("null");
    } else {
      out_.push_back('"');
      AppendBase64(values[i]);
      out_.push_back('"');
    }
  }
  out_.push_back(']');
  return *this;
}

JsonLine& JsonLine::Names(std::string_view key, std::span<const std::u16string> values) {
  return NameList(key, values);
}

JsonLine& JsonLine::Names(std::string_view key, std::span<const std::u16string_view> values) {
  return NameList(key, values);
}

JsonLine& JsonLine::Number(std::string_view key, uint64_t value) {
  Key(key);
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out_.append(digits, static_cast<size_t>(end - digits));
  return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
  Key(key);
  out_.append(value ? "true" : "false");
  return *this;
}

JsonLine& JsonLine::Null(std::string_view key) {
  Key(key);
  out_.append("null");
  return *this;
}

std::string_view JsonLine::End() {
  out_.append("}\n");
  return out_;
}

bool JsonLine::AppendString(std::u16string_view value) {
  // Written in place: room for the worst case (six bytes for a unit that is
  // escaped), given back once the string is out.
  const size_t start = out_.size();
  out_.resize(start + 2 + 6 * value.size());
  char* out = out_.data() + start;
  bool valid = true;
  *out++ = '"';
  const char16_t* at = value.data();
  const char16_t* const end = at + value.size();
  while (at < end) {
    CopyPlain(at, end, out);
    if (at == end) break;
    const char16_t c = *at++;
    if (c >= 0x20 && c < 0x80) {
      *out++ = '\\';  // a quote or a backslash
      *out++ = static_cast<char>(c);
    } else if (c < 0x20) {
      out = EscapeControl(c, out);
    } else if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (IsHighSurrogate(c) && at < end && IsLowSurrogate(*at)) {
      const char32_t pair = 0x10000 + ((char32_t{c} - 0xD800) << 10) + (char32_t{*at++} - 0xDC00);
      *out++ = static_cast<char>(0xF0 | (pair >> 18));
      *out++ = static_cast<char>(0x80 | ((pair >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((pair >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (pair & 0x3F));
    } else {
      // A surrogate without its partner is not a character: U+FFFD.
      char32_t unit = c;
      if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
        unit = 0xFFFD;
        valid = false;
      }
      *out++ = static_cast<char>(0xE0 | (unit >> 12));
      *out++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  *out++ = '"';
  out_.resize(static_cast<size_t>(out - out_.data()));
  return valid;
}

void JsonLine::AppendBase64(std::u16string_view value) {
  if (namesAreBytes_) {
    AppendBase64Bytes(out_, EncodeUtf8Lossless(value));
    return;
  }
  std::string units;
  units.reserve(value.size() * 2);
  for (const char16_t c : value) {
    units.push_back(static_cast<char>(c & 0xFF));
    units.push_back(static_cast<char>(c >> 8));
  }
  AppendBase64Bytes(out_, units);
}

int WriteJsonLine(Console& console, std::string_view record) {
  const bool redirected = OutputRedirected(console);
  std::string escaped;
  if (!redirected) record = TerminalSafe(record, escaped);
  if (console.conventions.byteTerminal || redirected) return WriteOutput(console, record);
  // A Windows console shows UTF-16; the record's UTF-8 is turned into it and
  // written as a path line is, in pieces the console takes.
  std::lock_guard<std::recursive_timed_mutex> hold(console.output.lock);
  if (OutputFailed(console)) return -1;
  LineWriter line(console, LineKind::kPathLine);
  line.Name(DecodeUtf8Lossless(record));
  return line.Write();
}

}  // namespace quorrex
