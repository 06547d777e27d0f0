// One forward pass of a five-state machine over the session-information
// text. Every line is classified character by character into its indent
// depth, its key (including the colon) and its value; at each line end the
// line is compared with the next unmatched component of the path.
#include "sessioninfo/query.h"

#include <cstddef>
#include <cstring>

namespace sessioninfo {
namespace {

enum class State { Indent, Key, KeyColon, Value, LineEnd };

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// "-" counts like a blank: list entries ("- CarIdx: 5") sit one level deeper,
// and a value never starts with "-" (so "-5" reads as "5").
bool IsIndent(char c) { return c == ' ' || c == '-'; }

// Compares one complete line with the path at `pathPosition`. Returns the path
// position just past the matched key (and selector), or nullptr when the line
// does not match.
const char* MatchLine(const char* pathPosition, const char* keyStart, std::int32_t keyLength,
                      const char* valueStart, std::int32_t valueLength) {
  // strncmp stops at the path's NUL, so a key longer than the rest of the path
  // compares unequal without reading past the path.
  if (keyLength <= 0 ||
      std::strncmp(pathPosition, keyStart, static_cast<std::size_t>(keyLength)) != 0) {
    return nullptr;
  }
  const char* next = pathPosition + keyLength;
  if (*next != '{') return next;

  const char* selector = next + 1;
  const char* close = selector;
  while (*close != '}' && *close != '\0') ++close;
  // A selector without its closing brace can never be satisfied: the line is
  // treated as not matching, and the scan above stops at the path's NUL.
  if (*close == '\0') return nullptr;

  // The value must equal the selector exactly, so "51" does not match {5}.
  if (close - selector != static_cast<std::ptrdiff_t>(valueLength)) return nullptr;
  // An empty selector matches an empty value; the value's start is then not
  // meaningful and must not be dereferenced.
  if (valueLength > 0 &&
      std::strncmp(valueStart, selector, static_cast<std::size_t>(valueLength)) != 0) {
    return nullptr;
  }
  return close + 1;
}

// The scan behind both FindValue forms: it stops at the text's NUL or at
// `end`; a null `end` never matches, so the text runs to its NUL.
bool Scan(const char* text, const char* end, const char* path, const char** valueStart,
          std::int32_t* valueLength) {
  if (text == nullptr || path == nullptr || valueStart == nullptr || valueLength == nullptr) {
    return false;
  }
  *valueStart = nullptr;
  *valueLength = 0;
  if (text == end || *text == '\0') return false;

  State state = State::Indent;
  std::int32_t depth = 0;
  const char* keyStart = nullptr;
  std::int32_t keyLength = 0;
  // The start of the last value begun; deliberately kept across line ends.
  const char* lineValueStart = nullptr;
  std::int32_t lineValueLength = 0;
  const char* pathPosition = path;
  std::int32_t pathDepth = 0;

  for (const char* p = text; p != end; ++p) {
    // Each byte is read once: the text may be changing under the scan.
    const char c = *p;
    if (c == '\0') break;
    if (IsLineEnd(c)) {
      // Blank lines and the LF of a CR LF pair are skipped.
      if (state == State::LineEnd) continue;
      // The section in which the path was being followed has ended.
      if (depth < pathDepth) return false;
      const char* next =
          MatchLine(pathPosition, keyStart, keyLength, lineValueStart, lineValueLength);
      if (next != nullptr) {
        pathPosition = next;
        pathDepth = depth;
        if (*pathPosition == '\0') {
          *valueStart = lineValueStart;
          *valueLength = lineValueLength;
          return true;
        }
      }
      depth = 0;
      keyLength = 0;
      lineValueLength = 0;
      state = State::LineEnd;
    } else if (IsIndent(c)) {
      switch (state) {
        case State::LineEnd:
          state = State::Indent;
          ++depth;
          break;
        case State::Indent:
          ++depth;
          break;
        case State::Key:
          ++keyLength;
          break;
        case State::Value:
          ++lineValueLength;
          break;
        case State::KeyColon:
          // Blanks and "-" between a key's colon and its value are skipped.
          break;
      }
    } else if (c == ':') {
      switch (state) {
        case State::Key:
          state = State::KeyColon;
          ++keyLength;  // The colon is part of the key.
          break;
        case State::KeyColon:
          // A second colon starts the value but is not counted in its length.
          state = State::Value;
          lineValueStart = p;
          break;
        case State::Value:
          ++lineValueLength;
          break;
        case State::Indent:
        case State::LineEnd:
          break;
      }
    } else {
      switch (state) {
        case State::Indent:
        case State::LineEnd:
          state = State::Key;
          keyStart = p;
          keyLength = 1;
          break;
        case State::KeyColon:
          state = State::Value;
          lineValueStart = p;
          lineValueLength = 1;
          break;
        case State::Key:
          ++keyLength;
          break;
        case State::Value:
          ++lineValueLength;
          break;
      }
    }
  }
  return false;
}

}  // namespace

bool FindValue(const char* text, const char* path, const char** valueStart,
               std::int32_t* valueLength) {
  return Scan(text, nullptr, path, valueStart, valueLength);
}

bool FindValue(std::string_view text, const char* path, const char** valueStart,
               std::int32_t* valueLength) {
  return Scan(text.data(), text.data() + text.size(), path, valueStart, valueLength);
}

}  // namespace sessioninfo
