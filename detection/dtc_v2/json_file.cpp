#include "detection/dtc_v2/json_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

#include <rapidjson/istreamwrapper.h>
#include <rapidjson/reader.h>

namespace dtc_v2::json {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// For a number std::from_chars found out of range: true when it lies beyond the largest double, false when it
// lies below the smallest. The sign of the decimal order of magnitude tells them apart (an overflow is above
// 1e308, an underflow below 1e-323, so being off by one in the order does not matter). The reader lets any
// number of exponent digits through, hence the saturation.
bool BeyondLargestDouble(const char *p, const char *end) {
  p += (*p == '-') ? 1 : 0;
  std::int64_t order = 0;
  if (*p != '0') {
    const char *const first = p;
    while (p != end && IsDigit(*p)) {
      ++p;
    }
    order = p - first;
  } else if (++p != end && *p == '.') { // JSON allows a leading zero only as the whole integer part
    for (++p; p != end && *p == '0'; ++p) {
      --order;
    }
  }
  while (p != end && (IsDigit(*p) || *p == '.')) {
    ++p;
  }
  std::int64_t exponent = 0;
  if (p != end) { // 'e' or 'E', then an optional sign and at least one digit
    ++p;
    const bool negative = *p == '-';
    p += (*p == '-' || *p == '+') ? 1 : 0;
    constexpr std::int64_t kSaturated = std::int64_t{1} << 40; // far beyond any order a text can have
    for (; p != end; ++p) {
      exponent = std::min(exponent * 10 + (*p - '0'), kSaturated);
    }
    exponent = negative ? -exponent : exponent;
  }
  return order + exponent > 0;
}

// SAX handler between rapidjson's reader and the Document it fills: everything is forwarded unchanged except
// numbers, which the reader hands over as their text (kParseNumbersAsStringsFlag). rapidjson 1.1.0's own
// full-precision conversion reaches undefined behaviour on a zero written with an exponent or many fraction
// digits ("0e38", "0e-23": DiyFp::Normalize counts the leading zeros of a zero significand), so the text is
// converted here with std::from_chars, which rounds correctly as that conversion does. Each number gets the
// type rapidjson gives it, which the readers rely on (an integer key takes only IsInt): an integer without
// fraction or exponent becomes Uint/Int when it fits 32 bits, Uint64/Int64 when it fits 64, and everything
// else a double. A number too large for a double is refused like the 1e400 the reader already refuses; one
// too small reads as a zero of its sign. Used by ParseFile only, on the thread that parses.
class TExactNumbers {
public:
  explicit TExactNumbers(rapidjson::Document &doc) : doc_(doc) {}

  bool Null() { return doc_.Null(); }
  bool Bool(bool b) { return doc_.Bool(b); }
  bool Int(int i) { return doc_.Int(i); }
  bool Uint(unsigned u) { return doc_.Uint(u); }
  bool Int64(std::int64_t i) { return doc_.Int64(i); }
  bool Uint64(std::uint64_t u) { return doc_.Uint64(u); }
  bool Double(double d) { return doc_.Double(d); }
  bool String(const char *str, rapidjson::SizeType length, bool copy) { return doc_.String(str, length, copy); }
  bool StartObject() { return doc_.StartObject(); }
  bool Key(const char *str, rapidjson::SizeType length, bool copy) { return doc_.Key(str, length, copy); }
  bool EndObject(rapidjson::SizeType members) { return doc_.EndObject(members); }
  bool StartArray() { return doc_.StartArray(); }
  bool EndArray(rapidjson::SizeType elements) { return doc_.EndArray(elements); }

  // `str` is a well-formed JSON number: the reader has checked the grammar and refused the texts whose
  // magnitude it cannot hold (kParseErrorNumberTooBig) before calling this.
  bool RawNumber(const char *str, rapidjson::SizeType length, bool /*copy*/) {
    const char *const end = str + length;
    const bool minus = *str == '-';
    if (std::none_of(str, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; })) {
      std::uint64_t magnitude = 0;
      const auto [ptr, ec] = std::from_chars(str + (minus ? 1 : 0), end, magnitude);
      if (ec == std::errc() && ptr == end) {
        constexpr std::uint64_t kIntMagnitude = std::uint64_t{1} << 31;
        constexpr std::uint64_t kInt64Magnitude = std::uint64_t{1} << 63;
        if (!minus) {
          return magnitude <= std::numeric_limits<std::uint32_t>::max()
                     ? doc_.Uint(static_cast<std::uint32_t>(magnitude))
                     : doc_.Uint64(magnitude);
        }
        // Negated in unsigned arithmetic, so -2^63 needs no signed value that cannot exist.
        const auto negated = static_cast<std::int64_t>(~magnitude + 1);
        if (magnitude <= kIntMagnitude) {
          return doc_.Int(static_cast<std::int32_t>(negated));
        }
        if (magnitude <= kInt64Magnitude) {
          return doc_.Int64(negated);
        }
      }
      // Beyond 64 bits: a double, as rapidjson reads it.
    }
    double d = 0.0;
    const auto [ptr, ec] = std::from_chars(str, end, d);
    if (ec == std::errc::result_out_of_range) {
      if (BeyondLargestDouble(str, end)) {
        return false;
      }
      d = minus ? -0.0 : 0.0;
    } else if (ec != std::errc() || ptr != end) {
      return false; // not reached for a text the reader accepted
    }
    return doc_.Double(d);
  }

private:
  rapidjson::Document &doc_;
};

} // namespace

bool ParseFile(const std::string &path, rapidjson::Document &doc) {
  doc.SetNull();
  std::error_code ec;
  std::ifstream in;
  // A directory opens as a stream on Linux but cannot be read: treat it as unopenable.
  if (!std::filesystem::is_directory(path, ec)) {
    in.open(path, std::ios::in | std::ios::binary);
  }
  if (!in.is_open()) {
    std::fputs("Could not open file for reading!\n", stderr);
    return false;
  }
  rapidjson::IStreamWrapper isw(in);
  // Every number reads as the nearest double (TExactNumbers), so a file written by TTrainingRes::Save
  // (shortest round-trip form) reads back bit for bit.
  rapidjson::Reader reader;
  bool parsed = false;
  auto parse = [&](rapidjson::Document &target) {
    TExactNumbers handler(target);
    parsed = !reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(isw, handler).IsError();
    return parsed;
  };
  doc.Populate(parse);
  if (!parsed) {
    doc.SetObject();
  }
  return true;
}

const rapidjson::Value *Find(const rapidjson::Value &obj, const char *key) {
  if (!obj.IsObject()) {
    return nullptr;
  }
  const auto it = obj.FindMember(key);
  return it == obj.MemberEnd() ? nullptr : &it->value;
}

std::optional<std::int32_t> Int(const rapidjson::Value *v) {
  if (v == nullptr || !v->IsInt()) {
    return std::nullopt;
  }
  return v->GetInt();
}

std::optional<double> Number(const rapidjson::Value *v) {
  if (v == nullptr || !v->IsNumber()) {
    return std::nullopt;
  }
  return v->GetDouble();
}

std::optional<std::int32_t> TruncatedInt(const rapidjson::Value *v) {
  const auto d = Number(v);
  if (!d) {
    return std::nullopt;
  }
  const double t = std::trunc(*d);
  // Converting a double outside the int range is undefined; such values read as absent.
  if (!(t >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
        t <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(t);
}

} // namespace dtc_v2::json
