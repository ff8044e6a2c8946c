#include "scans/rescue_map.h"

#include <cstdio>
#include <iterator>

namespace ov {

namespace {

// A number as C's "%lli" reads it (without a sign): "0x" hexadecimal, a leading 0 octal, else
// decimal. nullopt for anything else or a value past 2^63 - 1, which ddrescue refuses too.
std::optional<std::uint64_t> parseNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  unsigned base = 10;
  std::size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  } else if (text.size() > 1 && text[0] == '0') {
    base = 8;
    i = 1;
  }
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    unsigned digit = 0;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else return std::nullopt;
    if (digit >= base) return std::nullopt;
    if (value > (static_cast<std::uint64_t>(INT64_MAX) - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

std::string hex(std::uint64_t value, int width) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llX", width, static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

bool isBlockStatus(char c) { return c == '?' || c == '*' || c == '/' || c == '-' || c == '+'; }
bool isCurrentStatus(char c) { return isBlockStatus(c) || c == 'F' || c == 'G'; }

RescueMap::RescueMap(std::uint64_t size) { resize(size); }

std::optional<RescueMap> RescueMap::parse(std::string_view text, std::string& error) {
  RescueMap map;
  bool statusSeen = false;
  std::uint64_t expected = 0;
  bool first = true;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    std::size_t cut = text.find('\n');
    std::string_view line = text.substr(0, cut);
    text = cut == std::string_view::npos ? std::string_view{} : text.substr(cut + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<std::string_view> f = fields(line);
    if (f.empty() || f[0][0] == '#') continue;
    const std::string where = "line " + std::to_string(lineNumber);
    if (!statusSeen) {
      // current_pos current_status [current_pass]
      if (f.size() < 2 || f.size() > 3 || f[1].size() != 1 || !isCurrentStatus(f[1][0])) {
        error = where + ": expected the current position and status";
        return std::nullopt;
      }
      auto pos = parseNumber(f[0]);
      std::optional<std::uint64_t> pass = f.size() == 3 ? parseNumber(f[2]) : std::optional<std::uint64_t>(1);
      if (!pos || !pass || *pass > UINT32_MAX) {
        error = where + ": a number that cannot be read";
        return std::nullopt;
      }
      map.currentPosition = *pos;
      map.currentStatus = f[1][0];
      map.currentPass = static_cast<std::uint32_t>(*pass);
      statusSeen = true;
      continue;
    }
    if (f.size() != 3 || f[2].size() != 1 || !isBlockStatus(f[2][0])) {
      error = where + ": expected a block (position, size, status)";
      return std::nullopt;
    }
    auto pos = parseNumber(f[0]);
    auto size = parseNumber(f[1]);
    if (!pos || !size || *size == 0 || *pos > static_cast<std::uint64_t>(INT64_MAX) - *size) {
      error = where + ": a block position or size that cannot be read";
      return std::nullopt;
    }
    if (first) {
      // Before the first block lies what was never part of the run: not tried.
      if (*pos > 0) map.blocks_[0] = {*pos, '?'};
      expected = *pos;
      first = false;
    }
    if (*pos != expected) {
      error = where + ": the block does not follow the one before it (blocks must be in order, without gaps or overlaps)";
      return std::nullopt;
    }
    const char status = f[2][0];
    auto last = map.blocks_.empty() ? map.blocks_.end() : std::prev(map.blocks_.end());
    if (last != map.blocks_.end() && last->second.second == status && last->second.first == *pos)
      last->second.first = *pos + *size;
    else
      map.blocks_[*pos] = {*pos + *size, status};
    expected = *pos + *size;
  }
  if (!statusSeen) {
    error = "no current position and status line: not a mapfile";
    return std::nullopt;
  }
  map.size_ = expected;
  return map;
}

std::string RescueMap::format(std::string_view comment) const {
  std::string out;
  while (!comment.empty()) {
    std::size_t cut = comment.find('\n');
    out += "# ";
    out += comment.substr(0, cut);
    out += '\n';
    comment = cut == std::string_view::npos ? std::string_view{} : comment.substr(cut + 1);
  }
  out += "# current_pos  current_status  current_pass\n";
  out += hex(currentPosition, 8) + "     " + currentStatus + "               " + std::to_string(currentPass) + "\n";
  out += "#      pos        size  status\n";
  for (const auto& [start, block] : blocks_)
    out += hex(start, 8) + "  " + hex(block.first - start, 8) + "  " + block.second + "\n";
  return out;
}

void RescueMap::resize(std::uint64_t size) {
  if (size > size_) {
    set(size_, size, '?');
  } else if (size < size_) {
    auto it = blocks_.lower_bound(size);
    blocks_.erase(it, blocks_.end());
    if (!blocks_.empty()) {
      auto last = std::prev(blocks_.end());
      if (last->second.first > size) last->second.first = size;
    }
  }
  size_ = size;
}

void RescueMap::set(std::uint64_t start, std::uint64_t end, char status) {
  if (end > size_) size_ = end;
  if (start >= end) return;
  // Split the blocks that straddle the ends.
  auto split = [this](std::uint64_t at) {
    auto it = blocks_.upper_bound(at);
    if (it == blocks_.begin()) return;
    --it;
    if (it->first < at && it->second.first > at) {
      blocks_[at] = {it->second.first, it->second.second};
      it->second.first = at;
    }
  };
  split(start);
  split(end);
  blocks_.erase(blocks_.lower_bound(start), blocks_.lower_bound(end));
  auto it = blocks_.emplace(start, std::make_pair(end, status)).first;
  // Join with the neighbours of the same status.
  auto after = std::next(it);
  if (after != blocks_.end() && after->first == end && after->second.second == status) {
    it->second.first = after->second.first;
    blocks_.erase(after);
  }
  if (it != blocks_.begin()) {
    auto before = std::prev(it);
    if (before->second.first == start && before->second.second == status) {
      before->second.first = it->second.first;
      blocks_.erase(it);
    }
  }
}

char RescueMap::statusAt(std::uint64_t offset) const {
  auto it = blocks_.upper_bound(offset);
  if (it == blocks_.begin()) return '?';
  --it;
  return offset < it->second.first ? it->second.second : '?';
}

std::optional<RescueMap::Block> RescueMap::next(std::uint64_t from, char status) const {
  auto it = blocks_.upper_bound(from);
  if (it != blocks_.begin()) {
    auto before = std::prev(it);
    if (before->second.first > from) it = before;
  }
  for (; it != blocks_.end(); ++it) {
    if (it->second.second != status) continue;
    std::uint64_t start = it->first < from ? from : it->first;
    return Block{start, it->second.first - start, status};
  }
  return std::nullopt;
}

std::uint64_t RescueMap::bytesWith(char status) const {
  std::uint64_t total = 0;
  for (const auto& [start, block] : blocks_)
    if (block.second == status) total += block.first - start;
  return total;
}

std::vector<RescueMap::Block> RescueMap::blocks() const {
  std::vector<Block> out;
  for (const auto& [start, block] : blocks_) out.push_back(Block{start, block.first - start, block.second});
  return out;
}

}  // namespace ov
