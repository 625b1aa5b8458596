#pragma once
// Tolerant reading of the detection JSON files (detect.json and the training file). Every accessor looks a
// member up before touching it, so a missing key, a key of the wrong type or a file with a syntax error reads
// as absent and never reaches rapidjson's asserting operator[]. Called from whichever thread loads a file.

#include <cstdint>
#include <optional>
#include <string>

#include <rapidjson/document.h>

namespace dtc_v2::json {

// Parses `path` into `doc`. Returns false, after writing "Could not open file for reading!\n" to standard
// error, when the file cannot be opened (or is a directory); `doc` is then left null. A syntax error, or a
// number too large for a double (1e400), is not reported: `doc` becomes an empty object, so every key reads as
// absent. Numbers read as the nearest double, with rapidjson's integer types where they are integers.
bool ParseFile(const std::string &path, rapidjson::Document &doc);

// The member `key` of `obj`, or nullptr when `obj` is not an object or has no such member.
const rapidjson::Value *Find(const rapidjson::Value &obj, const char *key);

// A JSON integer that fits 32 bits; anything else (absent, fractional, too large, another type) is absent.
std::optional<std::int32_t> Int(const rapidjson::Value *v);
// Any JSON number as double; absent for other types.
std::optional<double> Number(const rapidjson::Value *v);
// A JSON number truncated toward zero to 32 bits; absent when not a number or outside the 32-bit range.
std::optional<std::int32_t> TruncatedInt(const rapidjson::Value *v);

} // namespace dtc_v2::json
