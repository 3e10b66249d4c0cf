// Finds where a value stands in a device file's text, and keys given twice.
#include "devices/devicefile/DeviceFileTextScan.h"

#include <algorithm>
#include <string_view>

#include "devices/DeviceText.h"
#include "devices/devicefile/DeviceFileModel.h"

namespace quillon::devices::devicefile {

namespace {

// Walks the text of a document that is already known to be valid JSON, to
// find where a value starts. Iterative, so deep nesting cannot exhaust the stack.
class TextCursor {
 public:
  explicit TextCursor(const std::string& text) : text_(text) {}

  std::size_t position() const { return pos_; }
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
  void Advance() { ++pos_; }

  void SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
      ++pos_;
    }
  }

  // At a '"': returns the raw text between the quotes and moves past them.
  std::string_view ReadStringView() {
    const std::size_t start = ++pos_;
    while (!AtEnd() && Peek() != '"') {
      pos_ += (Peek() == '\\') ? 2 : 1;
    }
    const std::size_t end = std::min(pos_, text_.size());
    ++pos_;
    return std::string_view(text_).substr(start, end - start);
  }

  void SkipValue() {
    std::size_t depth = 0;
    do {
      const char c = Peek();
      if (c == '"') {
        ReadStringView();
        continue;
      }
      if (c == '{' || c == '[') {
        ++depth;
      } else if (c == '}' || c == ']') {
        --depth;
      } else if (depth == 0) {
        // A literal or a number: runs to the next delimiter.
        while (!AtEnd() && std::string_view(",}] \t\r\n").find(Peek()) == std::string_view::npos) {
          ++pos_;
        }
        return;
      }
      ++pos_;
    } while (depth > 0 && !AtEnd());
  }

  // Moves to the start of `path`'s value; false when it is not there.
  bool Descend(const Path& path) {
    SkipSpace();
    for (const PathStep& step : path) {
      if (!DescendOne(step))
        return false;
    }
    return true;
  }

 private:
  bool DescendOne(const PathStep& step) {
    const bool wantKey = std::holds_alternative<std::string>(step);
    if (Peek() != (wantKey ? '{' : '['))
      return false;
    Advance();
    for (std::size_t index = 0;; ++index) {
      SkipSpace();
      if (Peek() == '}' || Peek() == ']' || AtEnd())
        return false;
      bool found = false;
      if (wantKey) {
        found = ReadStringView() == std::get<std::string>(step);
        SkipSpace();
        Advance();  // ':'
        SkipSpace();
      } else {
        found = index == std::get<std::size_t>(step);
      }
      if (found)
        return true;
      SkipValue();
      SkipSpace();
      if (Peek() != ',')
        return false;
      Advance();
    }
  }

  const std::string& text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string Describe(const Path& path) {
  std::string text;
  for (const PathStep& step : path) {
    if (const auto* key = std::get_if<std::string>(&step)) {
      if (!text.empty())
        text += '.';
      text += EscapeForDiagnostics(*key);
    } else {
      text += '[' + std::to_string(std::get<std::size_t>(step)) + ']';
    }
  }
  return text.empty() ? "the top level" : text;
}

std::size_t LineOf(const std::string& text, const Path& path) {
  for (std::size_t length = path.size() + 1; length-- > 0;) {
    TextCursor attempt(text);
    if (attempt.Descend(Path(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(length)))) {
      return LineAt(text, attempt.position());
    }
  }
  return 1;
}

}  // namespace quillon::devices::devicefile
