#include "tools/train/manifest.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>
#include <sstream>

namespace train {
namespace {

// Splits off the next field at a single space; false when none is left.
bool NextField(const std::string &line, std::size_t &pos, std::string &field) {
  if (pos >= line.size()) {
    return false;
  }
  const std::size_t end = line.find(' ', pos);
  field = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
  pos = end == std::string::npos ? line.size() : end + 1;
  return !field.empty();
}

std::string At(int line) { return "manifest line " + std::to_string(line) + ": "; }

} // namespace

bool ParseManifest(const std::string &text, std::vector<TManifestEntry> &out, std::string &error) {
  out.clear();
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty() || line[0] == '#' || line.find_first_not_of(" \t") == std::string::npos) {
      continue;
    }
    TManifestEntry e;
    e.line = number;
    std::size_t pos = 0;
    std::string cls, role, fold, groups;
    if (!NextField(line, pos, cls) || !NextField(line, pos, role) || !NextField(line, pos, fold) ||
        !NextField(line, pos, groups) || !NextField(line, pos, e.category) || pos >= line.size()) {
      error = At(number) + "needs CLASS ROLE FOLD GROUPS CATEGORY PATH separated by single spaces";
      return false;
    }
    e.path = line.substr(pos);
    if (cls != "target" && cls != "background") {
      error = At(number) + "class must be target or background, not '" + cls + "'";
      return false;
    }
    e.target = cls == "target";
    if (role != "train" && role != "eval") {
      error = At(number) + "role must be train or eval, not '" + role + "'";
      return false;
    }
    e.train = role == "train";
    if (fold != "-") {
      const auto res = std::from_chars(fold.data(), fold.data() + fold.size(), e.fold);
      if (res.ec != std::errc() || res.ptr != fold.data() + fold.size() || e.fold < 0 || e.fold >= kMaxFolds) {
        error = At(number) + "fold must be 0 to " + std::to_string(kMaxFolds - 1) + " or -, not '" + fold + "'";
        return false;
      }
    }
    std::size_t gpos = 0;
    while (gpos <= groups.size()) {
      const std::size_t plus = groups.find('+', gpos);
      const std::string g = groups.substr(gpos, plus == std::string::npos ? std::string::npos : plus - gpos);
      if (g.empty()) {
        error = At(number) + "empty recording name in the groups '" + groups + "'";
        return false;
      }
      e.groups.push_back(g);
      if (plus == std::string::npos) {
        break;
      }
      gpos = plus + 1;
    }
    out.push_back(std::move(e));
  }
  if (out.empty()) {
    error = "the manifest lists no recording";
    return false;
  }
  error = CheckGroups(out);
  if (!error.empty()) {
    return false;
  }
  const int k = FoldCount(out);
  std::set<int> used;
  for (const auto &e : out) {
    if (e.fold >= 0) {
      used.insert(e.fold);
    }
  }
  if (k == 1) {
    error = "the manifest uses only fold 0: cross-validation needs at least two folds";
    return false;
  }
  if (static_cast<int>(used.size()) != k) {
    error = "the manifest's folds must be 0 to " + std::to_string(k - 1) + " without gaps";
    return false;
  }
  for (int f = 0; f < k; ++f) {
    bool evaluated = false;
    for (const auto &e : out) {
      evaluated = evaluated || (e.fold == f && !e.train);
    }
    if (!evaluated) {
      error = "fold " + std::to_string(f) + " has no eval recording: it could not be measured";
      return false;
    }
  }
  return true;
}

std::string CheckGroups(const std::vector<TManifestEntry> &entries) {
  std::map<std::string, const TManifestEntry *> first;
  for (const auto &e : entries) {
    for (const auto &g : e.groups) {
      const auto [it, inserted] = first.emplace(g, &e);
      if (!inserted && it->second->fold != e.fold) {
        const auto name = [](int f) { return f < 0 ? std::string("-") : std::to_string(f); };
        return "recording " + g + " is in fold " + name(it->second->fold) + " (manifest line " +
               std::to_string(it->second->line) + ") and in fold " + name(e.fold) + " (line " + std::to_string(e.line) +
               "): a recording and its versions must stay in one fold";
      }
    }
  }
  return "";
}

int FoldCount(const std::vector<TManifestEntry> &entries) {
  int k = 0;
  for (const auto &e : entries) {
    k = std::max(k, e.fold + 1);
  }
  return k;
}

std::vector<std::size_t> TrainingOf(const std::vector<TManifestEntry> &entries, int k) {
  std::vector<std::size_t> idx;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].train && (k < 0 || entries[i].fold != k)) {
      idx.push_back(i);
    }
  }
  return idx;
}

std::vector<std::size_t> EvaluationOf(const std::vector<TManifestEntry> &entries, int k) {
  std::vector<std::size_t> idx;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].train && entries[i].fold == k) {
      idx.push_back(i);
    }
  }
  return idx;
}

} // namespace train
