// Reads the program's JSON Lines records back, and turns them into the text
// lines they stand for, through the text printer: a run in either format
// then gives the same bytes when the records carry every finding whole.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_state.h"
#include "console/message.h"
#include "console/output_sink.h"
#include "paths/path_forms.h"
#include "scan/printer.h"
#include "scan/reparse_data.h"
#include "scan/scan_records.h"
#include "support/utf.h"

namespace quorrex::testing {

// One JSON value, as far as the records use them.
struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  bool boolean = false;
  uint64_t number = 0;
  std::u16string text;  // a string, its escapes and UTF-8 decoded
  std::vector<JsonValue> items;
  // An object's fields, in their order.
  std::vector<std::string> keys;
  std::vector<JsonValue> values;

  const JsonValue* Find(std::string_view key) const {
    for (size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == key) return &values[i];
    }
    return nullptr;
  }
  const JsonValue& operator[](std::string_view key) const {
    if (const JsonValue* value = Find(key)) return *value;
    throw std::runtime_error("no field " + std::string(key));
  }
  bool IsNull() const { return kind == Kind::kNull; }
  std::string Ascii() const {
    std::string out;
    for (const char16_t c : text) out.push_back(static_cast<char>(c));
    return out;
  }
};

// A strict reader of one JSON text: anything the standard does not allow
// throws, so that a record a real client would refuse fails the test.
class JsonReader {
 public:
  static JsonValue Parse(std::string_view text) {
    JsonReader reader(text);
    JsonValue value = reader.Value();
    reader.Space();
    if (reader.at_ != text.size()) reader.Fail("text after the value");
    return value;
  }

 private:
  explicit JsonReader(std::string_view text) : text_(text) {}

  [[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string(what) + " at " + std::to_string(at_));
  }
  void Space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }
  bool Take(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  JsonValue Value() {
    Space();
    JsonValue value;
    if (at_ >= text_.size()) Fail("end of text");
    const char c = text_[at_];
    if (c == '{') {
      value.kind = JsonValue::Kind::kObject;
      ++at_;
      Space();
      if (Take("}")) return value;
      do {
        Space();
        const JsonValue key = String();
        Space();
        if (!Take(":")) Fail("no colon");
        std::string name;
        for (const char16_t k : key.text) name.push_back(static_cast<char>(k));
        value.keys.push_back(name);
        value.values.push_back(Value());
        Space();
      } while (Take(","));
      if (!Take("}")) Fail("no closing brace");
    } else if (c == '[') {
      value.kind = JsonValue::Kind::kArray;
      ++at_;
      Space();
      if (Take("]")) return value;
      do {
        value.items.push_back(Value());
        Space();
      } while (Take(","));
      if (!Take("]")) Fail("no closing bracket");
    } else if (c == '"') {
      value = String();
    } else if (Take("true")) {
      value.kind = JsonValue::Kind::kBool;
      value.boolean = true;
    } else if (Take("false")) {
      value.kind = JsonValue::Kind::kBool;
    } else if (Take("null")) {
    } else if (c >= '0' && c <= '9') {
      value.kind = JsonValue::Kind::kNumber;
      if (c == '0' && at_ + 1 < text_.size() && text_[at_ + 1] >= '0' && text_[at_ + 1] <= '9') {
        Fail("leading zero");
      }
      while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
        value.number = value.number * 10 + static_cast<uint64_t>(text_[at_++] - '0');
      }
    } else {
      Fail("no value");
    }
    return value;
  }
  JsonValue String() {
    if (!Take("\"")) Fail("no string");
    JsonValue value;
    value.kind = JsonValue::Kind::kString;
    std::string bytes;
    for (;;) {
      if (at_ >= text_.size()) Fail("unended string");
      const char c = text_[at_++];
      if (c == '"') break;
      if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
      if (c != '\\') {
        bytes.push_back(c);
        continue;
      }
      if (at_ >= text_.size()) Fail("unended escape");
      const char e = text_[at_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          bytes.push_back(e);
          break;
        case 'b':
          bytes.push_back('\b');
          break;
        case 'f':
          bytes.push_back('\f');
          break;
        case 'n':
          bytes.push_back('\n');
          break;
        case 'r':
          bytes.push_back('\r');
          break;
        case 't':
          bytes.push_back('\t');
          break;
        case 'u': {
          if (at_ + 4 > text_.size()) Fail("short \\u escape");
          const uint32_t unit = std::stoul(std::string(text_.substr(at_, 4)), nullptr, 16);
          at_ += 4;
          // Control characters only: C0, and on a terminal DEL and C1.
          if (unit >= 0xA0 || (unit >= 0x20 && unit < 0x7F)) {
            Fail("the records escape only control characters");
          }
          if (unit >= 0x80) bytes.push_back(static_cast<char>(0xC2));
          bytes.push_back(static_cast<char>(unit));
          break;
        }
        default:
          Fail("unknown escape");
      }
    }
    value.text = DecodeUtf8Lossless(bytes);
    for (size_t i = 0; i < value.text.size(); ++i) {
      if (PairAt(value.text, i)) {
        ++i;
      } else if (IsHighSurrogate(value.text[i]) || IsLowSurrogate(value.text[i])) {
        Fail("a string that is not UTF-8");
      }
    }
    return value;
  }

  std::string_view text_;
  size_t at_ = 0;
};

inline std::vector<uint8_t> FromBase64(std::u16string_view text) {
  auto digit = [](char16_t c) -> int {
    if (c >= u'A' && c <= u'Z') return c - u'A';
    if (c >= u'a' && c <= u'z') return c - u'a' + 26;
    if (c >= u'0' && c <= u'9') return c - u'0' + 52;
    if (c == u'+') return 62;
    if (c == u'/') return 63;
    return -1;
  };
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  int count = 0;
  for (const char16_t c : text) {
    const int d = digit(c);
    if (d < 0) break;
    bits = (bits << 6) | static_cast<uint32_t>(d);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  return out;
}

// The records of one run, and the name each string stands for.
class RunRecords {
 public:
  RunRecords(std::string_view output, bool namesAreBytes) : namesAreBytes_(namesAreBytes) {
    size_t start = 0;
    while (start < output.size()) {
      const size_t end = output.find('\n', start);
      if (end == std::string_view::npos) throw std::runtime_error("a record without its line end");
      records.push_back(JsonReader::Parse(output.substr(start, end - start)));
      start = end + 1;
    }
  }

  // The name under `key` of `record`, as the system holds it: from its
  // base64 form where the text could not carry it.
  std::u16string Name(const JsonValue& record, std::string_view key) const {
    const JsonValue* raw = record.Find(std::string(key) + "_base64");
    return raw != nullptr ? Raw(*raw) : record[key].text;
  }
  std::vector<std::u16string> Names(const JsonValue& record, std::string_view key) const {
    std::vector<std::u16string> names;
    const JsonValue* raw = record.Find(std::string(key) + "_base64");
    const JsonValue& list = record[key];
    for (size_t i = 0; i < list.items.size(); ++i) {
      const bool fromRaw = raw != nullptr && !raw->items[i].IsNull();
      names.push_back(fromRaw ? Raw(raw->items[i]) : list.items[i].text);
    }
    return names;
  }

  std::vector<JsonValue> records;

 private:
  std::u16string Raw(const JsonValue& base64) const {
    const std::vector<uint8_t> bytes = FromBase64(base64.text);
    if (namesAreBytes_) {
      return DecodeUtf8Lossless(
          std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    std::u16string units;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return units;
  }

  bool namesAreBytes_;
};

inline ReparseKind KindNamed(const std::string& name) {
  if (name == "volume_mount_point") return ReparseKind::kVolumeMountPoint;
  if (name == "junction") return ReparseKind::kDirectoryJunction;
  if (name == "symlink") return ReparseKind::kSymbolicLink;
  if (name == "app_exec_link") return ReparseKind::kAppExecLink;
  if (name == "wof") return ReparseKind::kWofCompressed;
  if (name == "dedup") return ReparseKind::kDeduplicated;
  if (name == "other") return ReparseKind::kUnsupported;
  throw std::runtime_error("unknown kind " + name);
}

inline uint32_t Number32(const JsonValue& value) {
  return static_cast<uint32_t>(value.number);
}

// Prints through `console`'s text printer the lines that `output`, the
// records of one run, stand for. The message of a control event that
// stopped the run comes before the group report, where the walk stopped.
inline void PrintRecordsAsText(Console& console, std::string_view output) {
  const bool namesAreBytes = !console.conventions.windowsPathForms;
  const RunRecords run(output, namesAreBytes);
  const std::unique_ptr<Printer> text = MakeTextPrinter(console);
  if (run.records.empty() || run.records.front()["type"].Ascii() != "start") {
    throw std::runtime_error("no start record");
  }
  const JsonValue& start = run.records.front();
  const JsonValue& end = run.records.back();
  if (end["type"].Ascii() != "end") throw std::runtime_error("no end record");
  const std::string reason = end["reason"].Ascii();

  RunFacts facts;
  const std::string version = start["version"].Ascii();
  facts.versionMajor = static_cast<uint32_t>(std::stoul(version));
  facts.versionMinor = static_cast<uint32_t>(std::stoul(version.substr(version.find('.') + 1)));
  text->Banner(facts);
  if (reason == "usage") {
    text->Usage();
    return;
  }
  text->ArgumentsRead();
  RunEnd early;
  std::u16string argument;
  if (reason == "second_file_spec") {
    argument = run.Name(end, "argument");
    early.argument = argument;
    text->EndsEarly(EarlyEnd::kSecondFileSpec, facts, early);
    return;
  }
  if (reason == "folder_not_found") {
    text->EndsEarly(EarlyEnd::kFolderNotFound, facts, early);
    return;
  }
  if (reason == "no_reparse_points") {
    argument = run.Name(end, "file_system");
    early.fileSystem = argument;
    text->EndsEarly(EarlyEnd::kNoReparsePoints, facts, early);
    return;
  }
  if (reason == "volume_invalid") return;  // told on standard error, by the run itself
  if (reason != "completed" && reason != "stopped") throw std::runtime_error("reason " + reason);

  text->WalkBegins(facts);
  bool told = false;
  const auto tellStop = [&] {
    if (told || end["stopped_by"].IsNull()) return;
    told = true;
    static const std::map<std::string, uint32_t> kEvents = {
        {"CTRL_C_EVENT", kCtrlCEvent},           {"SIGINT", kCtrlCEvent},
        {"CTRL_BREAK_EVENT", kCtrlBreakEvent},   {"SIGQUIT", kCtrlBreakEvent},
        {"CTRL_CLOSE_EVENT", kCtrlCloseEvent},   {"SIGHUP", kCtrlCloseEvent},
        {"CTRL_LOGOFF_EVENT", kCtrlLogoffEvent}, {"CTRL_SHUTDOWN_EVENT", kCtrlShutdownEvent},
        {"SIGTERM", kCtrlShutdownEvent}};
    PrintMessage(console, ControlEventMessage(console, kEvents.at(end["stopped_by"].Ascii())));
  };
  const char16_t separator = console.conventions.separator;
  // The summary and the end tell as many error lines and skipped folders as
  // the records between them hold.
  uint32_t errors = 0;
  uint32_t skipped = 0;
  for (size_t i = 1; i + 1 < run.records.size(); ++i) {
    const JsonValue& r = run.records[i];
    const std::string type = r["type"].Ascii();
    if (type == "reparse_point") {
      const std::u16string path = run.Name(r, "path");
      if (r.Find("error") != nullptr) {
        text->ReparseDataUnreadable(path, Number32(r["error_code"]));
        continue;
      }
      ReparseInfo info;
      info.kind = KindNamed(r["kind"].Ascii());
      info.tag = Number32(r["tag"]);
      std::string algorithm;
      if (r.Find("target") != nullptr) info.shownTarget = run.Name(r, "target");
      if (r.Find("strings") != nullptr) {
        for (const std::u16string& s : run.Names(r, "strings")) info.strings.push_back(s);
      }
      if (r.Find("wof_version") != nullptr) {
        info.wofVersion = Number32(r["wof_version"]);
        algorithm = r["wof_algorithm"].Ascii();
        info.wofAlgorithmName = algorithm.c_str();
      }
      if (r.Find("microsoft") != nullptr) info.microsoftTag = r["microsoft"].boolean;
      text->ReparsePoint(ReparseFinding{path, info, std::nullopt, std::nullopt});
    } else if (type == "error") {
      ++errors;
      const std::u16string path = run.Name(r, "path");
      const uint32_t code = Number32(r["error_code"]);
      if (r["operation"].Ascii() == "open_reparse_point") {
        text->ReparsePointNotOpened(path, code);
      } else if (r["operation"].Ascii() == "list_folder") {
        std::u16string shown = path;
        AppendSearchMask(shown, separator);
        text->FolderListedInPart(path, shown, code);
      } else {
        std::u16string shown = path;
        AppendSearchMask(shown, separator);
        text->FolderNotOpened(path, shown, code);
      }
    } else if (type == "skipped") {
      ++skipped;
      const std::u16string path = run.Name(r, "path");
      const std::u16string name = path.substr(path.find_last_of(separator) + 1);
      const std::string why = r["reason"].Ascii();
      text->FolderSkipped(why == "too_deep" ? SkipReason::kTooDeep
                          : why == "loop"   ? SkipReason::kLoop
                                            : SkipReason::kAlreadyWalked,
                          path, name);
    } else if (type == "hard_link_group") {
      tellStop();
      const std::vector<std::u16string> names = run.Names(r, "paths");
      std::vector<std::u16string_view> paths(names.begin(), names.end());
      text->HardLinkGroup(Number32(r["links"]), FileId{}, paths);
    } else if (type == "summary") {
      tellStop();
      ScanCounters c;
      c.reparsePoints = Number32(r["reparse_points"]);
      c.mountPoints = Number32(r["mount_points"]);
      c.volumeMountPoints = Number32(r["volume_mount_points"]);
      c.junctions = Number32(r["junctions"]);
      c.symbolicLinks = Number32(r["symbolic_links"]);
      c.appExecLinks = Number32(r["app_exec_links"]);
      c.wofLinks = Number32(r["wof_files"]);
      c.dedupLinks = Number32(r["dedup_files"]);
      c.hardLinkGroups = Number32(r["hard_link_groups"]);
      if (OtherReparsePoints(c) != Number32(r["other_reparse_points"])) {
        throw std::runtime_error("the summary's counts do not add up");
      }
      if (Number32(r["errors"]) != errors || Number32(r["skipped"]) != skipped) {
        throw std::runtime_error("the summary's errors or skipped folders are not the records'");
      }
      // Every folder entered but the scan folder is an entry of the one above.
      if (r["entries"].number + 1 < r["folders"].number) {
        throw std::runtime_error("the summary's folders or entries are not a walk's");
      }
      text->Summary(c, WalkTotals{});
    } else {
      throw std::runtime_error("unknown record " + type);
    }
  }
  tellStop();
  if (Number32(end["errors"]) != errors) {
    throw std::runtime_error("the end's errors are not the records'");
  }
}

}  // namespace quorrex::testing
