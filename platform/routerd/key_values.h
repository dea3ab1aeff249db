#pragma once

// Parsing of the "key=value" words shared by routerd's configuration file and
// the command-line tools (header only: the tools link only the platform
// library). Every parser takes the whole text and refuses anything that is not
// exactly of its form; numbers are checked for overflow.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_addr.h"

namespace routerd {

// Decimal, or hexadecimal with "0x"; nullopt when empty, signed, not a number or above `max`.
inline std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (value > (max - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  return value;
}

inline std::optional<uint32_t> parseU32(std::string_view text) {
  std::optional<uint64_t> v = parseNumber(text, 0xffffffffu);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

// yes/no, true/false, 1/0.
inline std::optional<bool> parseYesNo(std::string_view text) {
  if (text == "yes" || text == "true" || text == "1") return true;
  if (text == "no" || text == "false" || text == "0") return false;
  return std::nullopt;
}

// "A.B.C.D/P" (P 0..32) or "A.B.C.D" (prefix 32).
struct AddressPrefix {
  IPAddr address;
  uint32_t prefix = 32;
};
inline std::optional<AddressPrefix> parseAddressPrefix(std::string_view text) {
  AddressPrefix out;
  const size_t slash = text.find('/');
  if (slash != std::string_view::npos) {
    std::optional<uint64_t> prefix = parseNumber(text.substr(slash + 1), 32);
    if (!prefix || text.substr(slash + 1).starts_with("0x")) return std::nullopt;
    out.prefix = static_cast<uint32_t>(*prefix);
    text = text.substr(0, slash);
  }
  std::optional<IPAddr> address = IPAddr::parse(text);
  if (!address) return std::nullopt;
  out.address = *address;
  return out;
}

// The "key=value" words of one command. Keys are unique; a word without "="
// is a positional argument.
class KeyValues {
 public:
  // False (with `error` set) for a repeated key or an empty key.
  bool parse(const std::vector<std::string>& words, std::string& error) {
    for (const std::string& word : words) {
      const size_t eq = word.find('=');
      if (eq == std::string::npos) {
        mPositional.push_back(word);
        continue;
      }
      const std::string key = word.substr(0, eq);
      if (key.empty()) {
        error = "bad argument '" + word + "'";
        return false;
      }
      if (!mValues.emplace(key, word.substr(eq + 1)).second) {
        error = "repeated argument '" + key + "'";
        return false;
      }
    }
    return true;
  }

  bool has(const std::string& key) const { return mValues.count(key) != 0; }
  // The value (marking the key as used), or nullopt.
  std::optional<std::string> take(const std::string& key) {
    auto it = mValues.find(key);
    if (it == mValues.end()) return std::nullopt;
    mUsed.insert(key);
    return it->second;
  }
  // The first key that was given but never taken, or "".
  std::string unused() const {
    for (const auto& [key, value] : mValues) {
      if (!mUsed.count(key)) return key;
    }
    return "";
  }
  const std::vector<std::string>& positional() const { return mPositional; }

 private:
  std::map<std::string, std::string> mValues;  // key -> value
  std::set<std::string> mUsed;                 // keys taken
  std::vector<std::string> mPositional;        // words without "="
};

// Splits a line at blanks and tabs.
inline std::vector<std::string> splitWords(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.emplace_back(line.substr(start, i - start));
  }
  return words;
}

}  // namespace routerd
