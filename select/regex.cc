#include "select/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <string_view>

namespace {

// Limits that bound the work of one match, so that a pattern with nested
// repetition cannot hang a search: a path or a URL needs a tiny share of them.
constexpr uint32_t kMatchLimit = 1000000;     // backtracking steps
constexpr uint32_t kDepthLimit = 10000;       // nested backtracking points
constexpr uint32_t kHeapLimitKiB = 64 * 1024;  // backtracking memory

// The compile options closest to the ECMAScript-like dialect that RegExt texts
// are written in: "$" only at the very end, "[]" and "[^]" allowed, a reference
// to a group that took no part matches the empty text, "\u" and "\x" as there.
constexpr uint32_t kBaseOptions =
    PCRE2_DOLLAR_ENDONLY | PCRE2_ALLOW_EMPTY_CLASS | PCRE2_MATCH_UNSET_BACKREF | PCRE2_ALT_BSUX;
// Texts are UTF-8 byte strings: "." and "?" stand for one character and letter
// case is ignored beyond ASCII, as in the dialect's UTF-16 texts. A text that is
// not valid UTF-8 (a name in a single-byte code page, or below such a folder)
// matches when either of two readings finds a match: its valid parts as
// characters, the bad bytes matching nothing (a UTF-8 name below a Latin-1
// folder); or the whole text byte by byte ("*" taking a Latin-1 name).
constexpr uint32_t kUtfOptions = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;

bool IsUtf8Error(int code) { return code <= PCRE2_ERROR_UTF8_ERR1 && code >= PCRE2_ERROR_UTF8_ERR21; }

// Whether `text` is UTF-8 as the engine reads it: no stray or missing
// continuation bytes, no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view text) {
  static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const size_t extra = lead < 0xC2 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF5 ? 3 : 0;
    if (extra == 0 || text.size() - i <= extra) return false;
    uint32_t code = lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    if (code < kLeast[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::string ErrorText(int code) {
  PCRE2_UCHAR buffer[256];
  int length = pcre2_get_error_message(code, buffer, sizeof buffer);
  if (length < 0) return "error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
}

struct CodeDeleter {
  void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchContextDeleter {
  void operator()(pcre2_match_context* context) const { pcre2_match_context_free(context); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
struct CompileContextDeleter {
  void operator()(pcre2_compile_context* context) const { pcre2_compile_context_free(context); }
};

}  // namespace

// A compiled pattern with its match limits. Immutable after construction, so
// any number of threads may match with it at once (each with its own match data).
class TRegex::Impl {
 public:
  Impl(const std::string& pattern, unsigned options) : pattern_(pattern), options_(options) {
    std::unique_ptr<pcre2_compile_context, CompileContextDeleter> compile(pcre2_compile_context_create(nullptr));
    match_.reset(pcre2_match_context_create(nullptr));
    if (!compile || !match_) throw ERegexException(PCRE2_ERROR_NOMEMORY, "Out of memory for a regular expression");
    // CR, LF and CR LF all end a line, as in the texts the program reads.
    pcre2_set_newline(compile.get(), PCRE2_NEWLINE_ANYCRLF);
    pcre2_set_match_limit(match_.get(), kMatchLimit);
    pcre2_set_depth_limit(match_.get(), kDepthLimit);
    pcre2_set_heap_limit(match_.get(), kHeapLimitKiB);

    uint32_t flags = kBaseOptions;
    if (options & kRegexIgnoreCase) flags |= PCRE2_CASELESS;
    if (options & kRegexMultiline) flags |= PCRE2_MULTILINE;
    if (options & kRegexDotAll) flags |= PCRE2_DOTALL;
    int error = 0;
    PCRE2_SIZE offset = 0;
    code_.reset(Compile(pattern, flags | kUtfOptions, compile.get(), &error, &offset));
    if (code_) {
      // The byte reading; left out when only UTF-8 can express the pattern.
      int ignored_error = 0;
      PCRE2_SIZE ignored_offset = 0;
      bytes_code_.reset(Compile(pattern, flags, compile.get(), &ignored_error, &ignored_offset));
    } else if (IsUtf8Error(error)) {
      // A pattern that is no valid UTF-8 (written in a single-byte code page) is
      // taken byte by byte instead of being refused.
      code_.reset(Compile(pattern, flags, compile.get(), &error, &offset));
    }
    if (!code_) {
      throw ERegexException(error, "Invalid regular expression at offset " + std::to_string(offset) + ": " +
                                       ErrorText(error));
    }
  }

  static pcre2_code* Compile(const std::string& pattern, uint32_t flags, pcre2_compile_context* context,
                             int* error, PCRE2_SIZE* offset) {
    return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), flags, error, offset,
                         context);
  }

  const std::string& pattern() const { return pattern_; }
  unsigned options() const { return options_; }

  // Searches `text` for the first match; false when there is none. On a match,
  // `data` holds the groups' offsets.
  bool Search(std::string_view text, pcre2_match_data* data) const {
    int rc = Match(code_.get(), text, data);
    if (rc == PCRE2_ERROR_NOMATCH && bytes_code_ && !IsUtf8(text)) {
      rc = Match(bytes_code_.get(), text, data);
    }
    if (rc >= 0) return true;
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    throw ERegexException(rc, "Regular expression failed on the text: " + ErrorText(rc));
  }

  int Match(const pcre2_code* code, std::string_view text, pcre2_match_data* data) const {
    auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
    return pcre2_match(code, subject, text.size(), 0, 0, data, match_.get());
  }

  std::unique_ptr<pcre2_match_data, MatchDataDeleter> NewMatchData() const {
    std::unique_ptr<pcre2_match_data, MatchDataDeleter> data(
        pcre2_match_data_create_from_pattern(code_.get(), nullptr));
    if (!data) throw ERegexException(PCRE2_ERROR_NOMEMORY, "Out of memory for a regular expression");
    return data;
  }

  uint32_t GroupCount() const {
    uint32_t count = 0;
    pcre2_pattern_info(code_.get(), PCRE2_INFO_CAPTURECOUNT, &count);
    return count;
  }

 private:
  std::string pattern_;
  unsigned options_;
  std::unique_ptr<pcre2_code, CodeDeleter> code_;
  std::unique_ptr<pcre2_code, CodeDeleter> bytes_code_;  // the pattern without UTF-8, or null
  std::unique_ptr<pcre2_match_context, MatchContextDeleter> match_;
};

namespace {

// The text of group `group` of the match, empty when it took no part.
std::string_view Group(std::string_view text, const PCRE2_SIZE* ovector, uint32_t group) {
  PCRE2_SIZE start = ovector[2 * group], end = ovector[2 * group + 1];
  if (start == PCRE2_UNSET || end < start) return {};
  return text.substr(start, end - start);
}

// The text that "$$", "$&", "$`" or "$'" stands for.
std::string_view Special(char which, std::string_view text, const PCRE2_SIZE* ovector) {
  switch (which) {
    case '$': return "$";
    case '&': return Group(text, ovector, 0);
    case '`': return text.substr(0, ovector[0]);
    default: return text.substr(std::min<size_t>(ovector[1], text.size()));
  }
}

// Expands a replacement as the ECMAScript-like dialect does: "$$" a dollar,
// "$&" the match, "$`" and "$'" the text before and after it, "$n" and "$nn"
// a group when the pattern has it. Anything else stays as written.
std::string Expand(std::string_view replacement, std::string_view text, const PCRE2_SIZE* ovector,
                   uint32_t groups) {
  std::string out;
  for (size_t i = 0; i < replacement.size(); ++i) {
    char c = replacement[i];
    char next = i + 1 < replacement.size() ? replacement[i + 1] : '\0';
    if (c != '$' || next == '\0') {
      out += c;
    } else if (next == '$' || next == '&' || next == '`' || next == '\'') {
      out += Special(next, text, ovector);
      ++i;
    } else if (next >= '0' && next <= '9') {
      uint32_t one = static_cast<uint32_t>(next - '0');
      char after = i + 2 < replacement.size() ? replacement[i + 2] : '\0';
      uint32_t two = (after >= '0' && after <= '9') ? one * 10 + static_cast<uint32_t>(after - '0') : 0;
      if (two >= 1 && two <= groups) {
        out += Group(text, ovector, two);
        i += 2;
      } else if (one >= 1 && one <= groups) {
        out += Group(text, ovector, one);
        ++i;
      } else {
        out += c;
      }
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string TRegex::Pattern() const { return impl_->pattern(); }
bool TRegex::IgnoreCase() const { return (impl_->options() & kRegexIgnoreCase) != 0; }
bool TRegex::Multiline() const { return (impl_->options() & kRegexMultiline) != 0; }

bool TRegex::IsMatch(const std::string& text) const {
  auto data = impl_->NewMatchData();
  return impl_->Search(text, data.get());
}

std::string TRegex::Replace(const std::string& text, const std::string& replacement) const {
  auto data = impl_->NewMatchData();
  if (!impl_->Search(text, data.get())) return text;
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
  std::string out(text, 0, ovector[0]);
  out += Expand(replacement, text, ovector, impl_->GroupCount());
  out.append(text, ovector[1]);
  return out;
}

TRegex Regex::Create(const std::string& pattern, unsigned options) {
  return TRegex(std::make_shared<const TRegex::Impl>(pattern, options));
}

bool Regex::IsMatch(const std::string& pattern, unsigned options, const std::string& text) {
  return Create(pattern, options).IsMatch(text);
}

std::string Regex::Replace(const std::string& pattern, const std::string& text, const std::string& replacement) {
  return Create(pattern, kRegexNone).Replace(text, replacement);
}

std::string MaskToPattern(const std::string& mask) {
  // The order matters: the dots that "*" and "?" bring in must not be escaped,
  // nor the backslashes of the escapes. A backslash is an ordinary character of
  // a POSIX file name, so it stands for itself like the rest.
  static constexpr std::pair<char, std::string_view> kSteps[] = {
      {'\\', "\\\\"}, {'.', "\\."}, {'*', ".*"},  {'?', ".?"},  {'+', "\\+"}, {'^', "\\^"}, {'$', "\\$"},
      {'(', "\\("},  {')', "\\)"}, {'[', "\\["}, {']', "\\]"}, {'{', "\\{"}, {'}', "\\}"},
  };
  std::string pattern = mask;
  for (const auto& [from, to] : kSteps) {
    std::string next;
    next.reserve(pattern.size() + 8);
    for (char c : pattern) {
      if (c == from) {
        next += to;
      } else {
        next += c;
      }
    }
    pattern = std::move(next);
  }
  return pattern + "$";
}
