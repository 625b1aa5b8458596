#pragma once
// The recording list of a cross-validated training run. One line per sound file:
//
//   CLASS ROLE FOLD GROUPS CATEGORY PATH
//
//   CLASS     target | background
//   ROLE      train (fits the model) | eval (only scored, all four channels through the alert rule)
//   FOLD      0 .. 63, the cross-validation fold, or '-' for a file outside cross-validation: a '-' train file
//             trains every fold's model, a '-' eval file is scored by the final model only
//   GROUPS    the original recordings the file is made of, joined by '+' (a flight mixed with a background
//             names both); a recording belongs to exactly one fold, so it and all its augmented versions are
//             either in a fold's training or in its evaluation, never in both
//   CATEGORY  a label of the report (flight, helicopter, ...), no spaces
//   PATH      the file; the rest of the line, so it may hold spaces
//
// Blank lines and lines starting with '#' are ignored. Pure parsing and checking, no file access.

#include <cstddef>
#include <string>
#include <vector>

namespace train {

struct TManifestEntry {
  bool target = false;
  bool train = false; // role: train, else eval
  int fold = -1;      // -1: outside cross-validation
  std::vector<std::string> groups;
  std::string category;
  std::string path;
  int line = 0; // line number in the manifest, from 1
};

inline constexpr int kMaxFolds = 64;

// Parses the whole manifest text. On failure returns false with one line naming the line number in `error`.
// Also checks the grouping (CheckGroups) and that the folds in use are 0 .. K-1 with K >= 2, or that no fold is
// used at all.
bool ParseManifest(const std::string &text, std::vector<TManifestEntry> &out, std::string &error);

// Every group must belong to one fold (a '-' counts as a fold of its own): otherwise a fold's evaluation would
// hear a recording that its training heard. Returns "" or one line naming the group and two of its lines.
std::string CheckGroups(const std::vector<TManifestEntry> &entries);

// Number of folds K (largest fold + 1; 0 when no entry has a fold).
int FoldCount(const std::vector<TManifestEntry> &entries);

// Entries that train fold k's model: train entries whose fold is not k ('-' included). With k = -1: every train
// entry (the final model). Indices ascending.
std::vector<std::size_t> TrainingOf(const std::vector<TManifestEntry> &entries, int k);

// Entries that fold k's model scores: eval entries of fold k (k = -1: the '-' eval entries). Indices ascending.
std::vector<std::size_t> EvaluationOf(const std::vector<TManifestEntry> &entries, int k);

} // namespace train
