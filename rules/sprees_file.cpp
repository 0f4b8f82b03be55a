#include "rules/sprees_file.h"

#include <charconv>

#include "core/datafiles.h"

namespace kv {

namespace {

std::string ReadBlock(TStream& in, const char* what) {
  if (in.Remaining() < 4)
    throw EStreamError(std::string(kSpreesLoadError) + " - the file ends before the " + what);
  const int32_t size = in.ReadInt32();
  if (size < 0 || static_cast<uint32_t>(size) > kMaxSpreeBlockBytes)
    throw EStreamError(std::string(kSpreesLoadError) + " - the " + what + " announce " +
                       std::to_string(size) + " bytes");
  if (static_cast<uint64_t>(size) > in.Remaining())
    throw EStreamError(std::string(kSpreesLoadError) + " - the " + what + " announce " +
                       std::to_string(size) + " bytes, the file holds " + std::to_string(in.Remaining()));
  std::string text(static_cast<size_t>(size), '\0');
  in.ReadBuffer(text.data(), text.size());
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  TMemoryStream s(text);
  return ReadTextLines(s);
}

std::vector<TSpreeEntry> Join(const std::string& counts, const std::string& lines) {
  const std::vector<std::string> count_lines = Lines(counts);
  std::vector<TSpreeEntry> out;
  for (auto& line : Lines(lines)) {
    TSpreeEntry e;
    e.count = out.size() < count_lines.size() ? SpreeCountOf(count_lines[out.size()]) : 0;
    e.line = std::move(line);
    out.push_back(std::move(e));
  }
  return out;
}

void WriteBlock(TStream& out, const std::string& text) {
  out.WriteInt32(static_cast<int32_t>(text.size()));
  out.Write(text.data(), text.size());
}

void WriteList(TStream& out, const std::vector<TSpreeEntry>& list) {
  std::string counts, lines;
  for (const auto& e : list) {
    counts += std::to_string(e.count) + "\r\n";
    lines += e.line + "\r\n";
  }
  WriteBlock(out, counts);
  WriteBlock(out, lines);
}

}  // namespace

std::string TSpreeEntry::StartMessage() const {
  const size_t eq = line.find('=');
  return eq == std::string::npos ? line : line.substr(0, eq);
}

std::string TSpreeEntry::EndMessage() const {
  const size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

int32_t SpreeCountOf(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return 0;
  return value;
}

void WriteSpreesFile(TStream& out, const TSpreeLists& lists) {
  WriteList(out, lists.killing);
  WriteList(out, lists.losing);
}

void ReadSpreesFile(TStream& in, TSpreeLists& lists) {
  lists = TSpreeLists();
  if (in.AtEnd()) return;
  const std::string killing_counts = ReadBlock(in, "counts of the killing sprees");
  const std::string killing_lines = ReadBlock(in, "messages of the killing sprees");
  lists.killing = Join(killing_counts, killing_lines);
  const std::string losing_counts = ReadBlock(in, "counts of the losing sprees");
  const std::string losing_lines = ReadBlock(in, "messages of the losing sprees");
  lists.losing = Join(losing_counts, losing_lines);
}

}  // namespace kv
