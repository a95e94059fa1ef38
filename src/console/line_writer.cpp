#include "console/line_writer.h"

#include <charconv>
#include <mutex>

#include "console/output_sink.h"

namespace quorrex {
namespace {

// A console takes at most this many UTF-16 units in one write: on Windows 7
// a write of about 64 KB and more fails with ERROR_NOT_ENOUGH_MEMORY.
constexpr size_t kConsoleWriteLimit = 25000;

// The length of the next piece of `text` to write: at most the limit, and
// never ending between the two halves of a surrogate pair.
size_t NextPiece(std::u16string_view text) {
  if (text.size() <= kConsoleWriteLimit) return text.size();
  const char16_t last = text[kConsoleWriteLimit - 1];
  return last >= 0xD800 && last < 0xDC00 ? kConsoleWriteLimit - 1 : kConsoleWriteLimit;
}

}  // namespace

namespace {

void ConvertLineEndsInto(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
    out.push_back(text[i]);
  }
}

}  // namespace

std::string ConvertLineEnds(std::string_view text) {
  std::string out;
  ConvertLineEndsInto(text, out);
  return out;
}

namespace {

OutputState::LineBuffers& TakeBuffers(OutputState& output, OutputState::LineBuffers& own) {
  const int depth = output.linesInMaking++;
  if (depth >= 2) return own;
  OutputState::LineBuffers& taken = output.lineBuffers[depth];
  taken.narrow.clear();
  taken.wide.clear();
  return taken;
}

}  // namespace

LineWriter::LineWriter(Console& console, LineKind kind)
    : console_(console),
      kind_(kind),
      hold_(console.output.lock),
      buffers_(TakeBuffers(console.output, own_)),
      narrow_(buffers_.narrow),
      wide_(buffers_.wide) {}

LineWriter::~LineWriter() {
  --console_.output.linesInMaking;
}

LineWriter& LineWriter::Text(std::string_view text) {
  if (kind_ == LineKind::kMessage) {
    narrow_.append(text);
    return *this;
  }
  // The program's own text is plain ASCII, the same in every code page, and
  // is widened as it stands.
  const size_t at = wide_.size();
  wide_.resize(at + text.size());
  char16_t* out = wide_.data() + at;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      wide_.resize(at);
      wide_.append(console_.platform.NarrowToWide(text));
      return *this;
    }
    *out++ = static_cast<char16_t>(c);
  }
  return *this;
}

LineWriter& LineWriter::Name(std::u16string_view name) {
  if (kind_ == LineKind::kMessage) {
    narrow_ += console_.platform.WideToNarrow(name);
  } else {
    wide_.append(name);
  }
  return *this;
}

LineWriter& LineWriter::Number(uint32_t value) {
  char digits[12];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return Text(std::string_view(digits, static_cast<size_t>(end - digits)));
}

LineWriter& LineWriter::Number(int32_t value) {
  char digits[12];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return Text(std::string_view(digits, static_cast<size_t>(end - digits)));
}

int LineWriter::Write() {
  return kind_ == LineKind::kMessage ? WriteMessage() : WritePathLine();
}

int LineWriter::WriteMessage() {
  if (console_.conventions.byteTerminal) return WriteOutputHeld(console_, narrow_);
  ConvertLineEndsInto(narrow_, buffers_.bytes);
  return WriteOutputHeld(console_, buffers_.bytes);
}

int LineWriter::WritePathLine() {
  if (OutputFailed(console_) || OutputRefusedHere(console_)) return 0;
  if (!OutputRedirected(console_)) return WriteToConsole(wide_);
  std::string& bytes = buffers_.bytes;
  if (!console_.platform.WideToOem(wide_, bytes) || bytes.empty()) return 0;
  const int written = WriteOutputHeld(console_, bytes);
  return written < 0 ? 0 : written;
}

// UTF-16 straight to the console, in writes of at most the limit (a path
// line takes two at most; a record for scripts as many as it needs). A
// refused write of a whole line is told on standard output as a message; a
// refused piece of a longer one ends the line there.
int LineWriter::WriteToConsole(std::u16string_view line) {
  Platform& platform = console_.platform;
  uint32_t written = 0;
  uint32_t error = 0;
  if (line.size() <= kConsoleWriteLimit) {
    if (!platform.WriteConsoleText(line, written, error)) {
      // Given up after a control event: the output ends here.
      if (CancelledByAbort(console_.stop, error)) {
        NoteOutputFailure(console_, error);
        return 0;
      }
      LineWriter message(console_, LineKind::kMessage);
      message.Text("\nWriteConsoleW error ")
          .Number(error)
          .Text(" on textlen=")
          .Number(static_cast<int32_t>(line.size()))
          .Text("\n")
          .Write();
      return 0;
    }
    NoteOutputWritten(console_, line);
    return static_cast<int>(written);
  }
  for (std::u16string_view rest = line; !rest.empty();) {
    const size_t piece = NextPiece(rest);
    if (!platform.WriteConsoleText(rest.substr(0, piece), written, error)) {
      if (CancelledByAbort(console_.stop, error)) NoteOutputFailure(console_, error);
      if (rest.size() == line.size()) return 0;
      break;
    }
    rest.remove_prefix(piece);
  }
  NoteOutputWritten(console_, line);
  return static_cast<int>(written);
}

}  // namespace quorrex
