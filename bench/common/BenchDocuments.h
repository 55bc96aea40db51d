#pragma once
// The benchmarks' shared data: one generated JSON document of about 2 MB and one 200-byte reply
// line of the child-process protocol, the same in every benchmark program so that their figures
// compare.
#include <cstdint>
#include <string>

namespace vexor::bench {

// Deterministic document: records with nested objects, number arrays, escaped and non-ASCII
// strings, integers, doubles, booleans and nulls.
inline std::string MakeDocument(size_t ATargetBytes) {
  uint64_t seed = 0x9E3779B97F4A7C15ull;
  auto next = [&seed] {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return seed;
  };
  const char* words[] = {
      "alpha",        "b\\\"eta\\\"", "gr\\u00fc\\u00dfe", "\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac",
      "line\\nbreak", "tab\\there",   "path\\/to",         "plain text value"};
  std::string s = "{\"version\":3,\"records\":[";
  for (int i = 0; s.size() < ATargetBytes; ++i) {
    if (i) s += ',';
    s += "{\"id\":" + std::to_string(i) + ",\"name\":\"" + words[next() % 9] + " " + words[next() % 9] + "\"";
    s += ",\"score\":" + std::to_string(static_cast<double>(next() % 1000000) / 997.0);
    s += ",\"big\":" + std::to_string(static_cast<int64_t>(next() >> 2));
    s += ",\"active\":" + std::string(next() % 2 ? "true" : "false");
    s += ",\"note\":null,\"values\":[";
    for (int k = 0; k < 8; ++k) {
      if (k) s += ',';
      s += std::to_string(static_cast<double>(next() % 100000) / 64.0);
    }
    s += "],\"counts\":[";
    for (int k = 0; k < 6; ++k) {
      if (k) s += ',';
      s += std::to_string(next() % 10000);
    }
    s += "],\"owner\":{\"first\":\"" + std::string(words[next() % 9]) + "\",\"last\":\"" + words[next() % 9] +
         "\",\"address\":{\"city\":\"Z\\u00fcrich\",\"zip\":" + std::to_string(next() % 99999) + "}}}";
  }
  s += "]}";
  return s;
}

inline const std::string& Document() {
  static const std::string doc = MakeDocument(2 * 1024 * 1024);
  return doc;
}

inline const std::string kReply =
    R"({"id":1042,"type":"reply","result":{"status":"ok","value":42.5,"items":[1,2,3,5,8],)"
    R"("message":"done \"quoted\" caf\u00e9","running":true,"pid":31337,"error":null},)"
    R"("elapsed":0.00125,"stamp":"node-worker-3"})";

}  // namespace vexor::bench
