#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The usage counters: an ordered list of name=value entries. Counters are the
// entries whose name begins with a capital letter; others (the format mark "v")
// travel along but are never counted. Names are compared exactly, so the mark "v"
// can never overwrite a counter "V".
//
// Not thread-safe; TrkInfo guards its instance.
class TrkUsageCounters {
 public:
  using Entry = std::pair<std::string, std::string>;

  // The stored text of `name`, empty when missing.
  std::string Get(std::string_view name) const;
  // Replaces the entry's value in place, or appends the entry.
  void Set(std::string_view name, std::string value);

  // When `value` <= 0 the new value is the current one (missing or non-numeric:
  // 0) plus `increment`, else `value` itself. Stores it only when its decimal text
  // differs from the stored text, so adding 0 to a missing counter creates it.
  // Returns whether anything changed (and the store must be written).
  bool Add(std::string_view name, long long value, long long increment);

  // Every counter in list order as its lower-case first letter and its value:
  // R=12, C=3, H=1 give "r12c3h1".
  std::string CounterText() const;

  const std::vector<Entry>& Entries() const { return entries_; }
  bool Empty() const { return entries_.empty(); }

  // The store file's contents: the entries as CR LF lines in a scrambled form,
  // so that casual editing of the counters is not invited. Parse gives nullopt
  // for anything that Serialize did not produce (wrong header, damaged data).
  std::string Serialize() const;
  static std::optional<TrkUsageCounters> Parse(std::string_view data);

  // Reads the store file; a missing, unreadable or damaged file gives no entries.
  static TrkUsageCounters Load(const std::string& path);
  // Writes the store file whole, first clearing a read-only mark and creating the
  // folder. Throws TrkError when it cannot be written.
  void Save(const std::string& path) const;
  // Save with data made by Serialize beforehand, so that callers can serialise
  // under their lock and write outside it.
  static void SaveData(const std::string& path, std::string_view data);

 private:
  std::vector<Entry> entries_;
};

// The reversible byte transform of the store file, exposed for tests.
std::string TrkScramble(std::string_view plain);
std::optional<std::string> TrkUnscramble(std::string_view data);
