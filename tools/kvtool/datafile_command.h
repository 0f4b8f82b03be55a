// The shape every "kvtool NAME dump|build" of a list-like data file shares:
// dump reads the file and prints its records as JSON (what could be read
// before a damage is printed, and the damage fails the run); build reads
// that JSON and writes the file's bytes to stdout, byte for byte what dump
// read. A format brings its reader, writer and JSON conversions.
#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/stream.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {

template <class T>
struct TDataFileFormat {
  const char* command;                                 // "eventmessages"
  const char* file;                                    // "EventMessages.dat"
  const char* key;                                     // the JSON array's name: "messages"
  const char* item;                                    // one record in error texts: "message"
  void (*read)(TStream& in, std::vector<T>& records);  // throws EStreamError on damage
  void (*write)(TStream& out, const std::vector<T>& records);
  nlohmann::json (*to_json)(const T& record);
  T (*from_json)(const nlohmann::json& json);  // json::exception or std::invalid_argument
};

template <class T>
int RunDataFileCommand(const TDataFileFormat<T>& f, const TArgs& args, TToolIO io) {
  const std::string usage =
      std::string("usage: kvtool ") + f.command + " dump FILE | " + f.command + " build FILE.json";
  if (args.size() != 2 || (args[0] != "dump" && args[0] != "build")) return Fail(io, usage);
  if (args[0] == "dump") {
    TMemoryStream in(LoadFileBytes(args[1]));
    std::vector<T> records;
    std::string damage;
    try {
      f.read(in, records);
    } catch (const EStreamError& e) {
      damage = e.what();
    }
    nlohmann::json items = nlohmann::json::array();
    for (const auto& r : records) items.push_back(f.to_json(r));
    io.out << nlohmann::json{{f.key, items}}.dump(2) << "\n";
    if (!damage.empty()) return Fail(io, args[1] + ": " + damage);
    return 0;
  }
  std::string text;
  if (!ReadFileOrStdin(args, 1, io, text)) return Fail(io, "cannot read " + args[1]);
  std::vector<T> records;
  try {
    const auto doc = nlohmann::json::parse(text);
    size_t number = 0;
    for (const auto& j : doc.at(f.key)) {
      ++number;
      try {
        records.push_back(f.from_json(j));
      } catch (const std::invalid_argument& e) {
        return Fail(io, std::string(f.item) + " " + std::to_string(number) + ": " + e.what());
      }
    }
  } catch (const nlohmann::json::exception& e) {
    return Fail(io, std::string("bad ") + f.file + " JSON: " + e.what());
  }
  TMemoryStream out;
  f.write(out, records);
  io.out.write(reinterpret_cast<const char*>(out.Bytes().data()), static_cast<std::streamsize>(out.Size()));
  return 0;
}

}  // namespace kv::tool
