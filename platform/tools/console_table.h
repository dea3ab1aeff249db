#pragma once

// Aligned text tables for the command-line tools (header only: each tool is a
// single source file linked with the platform library).

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace tools {

// Columns left-aligned, two blanks apart; the last column is not padded, so
// long free text (comments, log lines) does not widen the others.
class ConsoleTable {
 public:
  explicit ConsoleTable(std::vector<std::string> header) : mHeader(std::move(header)) {}

  // REQUIRES: as many cells as header columns.
  void addRow(std::vector<std::string> cells) { mRows.push_back(std::move(cells)); }
  bool empty() const { return mRows.empty(); }

  void print(std::FILE* out) const {
    std::vector<size_t> width(mHeader.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
      for (size_t i = 0; i < row.size() && i < width.size(); ++i) width[i] = std::max(width[i], row[i].size());
    };
    measure(mHeader);
    for (const auto& row : mRows) measure(row);
    printRow(out, mHeader, width);
    for (const auto& row : mRows) printRow(out, row, width);
  }

 private:
  static void printRow(std::FILE* out, const std::vector<std::string>& row, const std::vector<size_t>& width) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(width[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::fprintf(out, "%s\n", line.c_str());
  }

  std::vector<std::string> mHeader;
  std::vector<std::vector<std::string>> mRows;
};

// A string as a double-quoted C-like literal: \" \\ \n \t and \xNN for other
// bytes outside printable ASCII, so every value stays on its line.
inline std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

inline const char* yesNo(bool value) { return value ? "yes" : "no"; }

}  // namespace tools
