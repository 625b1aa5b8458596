#include "tools/train/crossval.h"

#include "tools/train/audio.h"
#include "tools/train/manifest.h"
#include "tools/train/model.h"
#include "tools/train/report_text.h"
#include "tools/train/station.h"

#include "detection/dtc_v2/detector.h"
#include "detection/pvc2/pvc_geometry.h"
#include "engines/desc_maker.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <numeric>
#include <sstream>
#include <thread>

namespace train {

TAlertOutcome SummariseAlerts(const std::vector<std::array<double, 4>> &records, const std::vector<double> &timesS,
                              double border) {
  TAlertOutcome o;
  TDescMaker desc;
  int previous = TDescMaker::kNoDrone;
  for (std::size_t n = 0; n < records.size(); ++n) {
    const int level = desc.Update(records[n], border);
    for (double s : records[n]) {
      if (std::isfinite(s)) {
        o.maxScore = std::max(o.maxScore, s);
      }
    }
    ++o.records;
    const bool top = level == TDescMaker::kDetectedDrone;
    if (n >= 3) {
      ++o.counted;
      o.detected += top ? 1 : 0;
    }
    if (top && previous != TDescMaker::kDetectedDrone) {
      ++o.events;
      if (o.firstDetectedS < 0.0) {
        o.firstDetectedS = n < timesS.size() ? timesS[n] : 0.0;
      }
    }
    previous = level;
  }
  return o;
}

double ScoreTimeS(const detection::TDetectConfig &c, int hop, std::size_t n) {
  const double vector = static_cast<double>(c.NN) * c.KK - 1.0 + static_cast<double>(n) * c.KK;
  return (c.NFFT + vector * hop) / c.F_Smp;
}

namespace {

std::string FoldName(int f) { return f < 0 ? std::string("-") : std::to_string(f); }

struct TLoaded {
  TFeatureSet train;                 // channel 0 (train entries)
  std::vector<TFeatureSet> channels; // the four channels (eval entries)
  double seconds = 0.0;
  std::size_t nonFinite = 0;
};

// One scene scored by one model.
struct TScored {
  std::size_t entry = 0;
  int model = 0; // index into the models: fold k, or K for the final model
  TAlertOutcome outcome;
};

struct TTally {
  std::size_t counted = 0;
  std::size_t detected = 0;
  double Share() const { return counted == 0 ? 0.0 : static_cast<double>(detected) / static_cast<double>(counted); }
  void Add(const TAlertOutcome &o) {
    counted += o.counted;
    detected += o.detected;
  }
};

class TCrossValidation {
public:
  TCrossValidation(const TCrossValidationArgs &a, const detection::TDetectConfig &cfg, const TFitOptions &fit,
                   std::ostream &out, std::ostream &err)
      : a_(a), cfg_(cfg), fit_(fit), out_(out), err_(err) {}

  int Run() {
    if (!ReadManifest() || !Load()) {
      return 1;
    }
    folds_ = FoldCount(entries_);
    models_.resize(static_cast<std::size_t>(folds_) + 1);
    for (int k = 0; k <= folds_; ++k) {
      if (!FitOne(k == folds_ ? -1 : k, models_[static_cast<std::size_t>(k)])) {
        return 1;
      }
    }
    ChooseBorders();
    if (!a_.foldDir.empty() && !SaveFolds()) {
      return 1;
    }
    if (!models_.back().saved.Save(a_.out)) {
      return Fail("cannot write the training file " + a_.out);
    }
    Report();
    return 0;
  }

private:
  struct TModel {
    dtc_v2::TTrainingRes saved;  // as written to a file
    dtc_v2::TTrainingRes loaded; // as the station reads it back
    double seconds[2] = {0.0, 0.0};
    std::size_t recordings[2] = {0, 0};
  };

  bool Fail(const std::string &line) const {
    err_ << "ormelin_train: " << line << "\n";
    return false;
  }

  // Each fold's model and border, so that the station's own programs (ormelin_replay) can measure the fold's
  // eval recordings again: fold-K.json, and borders.txt with one line "K BORDER" per fold and "final BORDER".
  bool SaveFolds() const {
    std::ofstream borders(a_.foldDir + "/borders.txt");
    for (int k = 0; k < folds_; ++k) {
      const std::string path = a_.foldDir + "/fold-" + std::to_string(k) + ".json";
      if (!models_[static_cast<std::size_t>(k)].saved.Save(path)) {
        return Fail("cannot write " + path);
      }
      borders << k << " " << Exact(borders_[static_cast<std::size_t>(k)]) << "\n";
    }
    borders << "final " << Exact(borders_.back()) << "\n";
    borders.flush();
    if (!borders.good()) {
      return Fail("cannot write " + a_.foldDir + "/borders.txt");
    }
    return true;
  }

  static std::string Exact(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
  }

  bool ReadManifest() {
    std::ifstream in(a_.manifestPath);
    if (!in.is_open()) {
      return Fail("cannot read the manifest " + a_.manifestPath);
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string error;
    if (!ParseManifest(text.str(), entries_, error)) {
      return Fail(a_.manifestPath + ": " + error);
    }
    if (FoldCount(entries_) == 0) {
      return Fail(a_.manifestPath + ": no recording has a fold: nothing to cross-validate");
    }
    return true;
  }

  // Reads every file and runs the station's feature processor over it, on worker threads (one entry at a time
  // each; the results go to the entry's own slot, so the workers share nothing but the next-entry counter).
  bool Load() {
    loaded_.resize(entries_.size());
    std::vector<std::string> errors(entries_.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
      for (;;) {
        const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
        if (i >= entries_.size()) {
          return;
        }
        errors[i] = LoadOne(entries_[i], loaded_[i]);
      }
    };
    const unsigned hw = std::max(1U, std::thread::hardware_concurrency());
    const auto jobs = static_cast<unsigned>(a_.jobs > 0 ? a_.jobs : static_cast<int>(hw));
    {
      std::vector<std::jthread> pool;
      for (unsigned j = 1; j < jobs; ++j) {
        pool.emplace_back(work);
      }
      work();
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (!errors[i].empty()) {
        return Fail(a_.manifestPath + " line " + std::to_string(entries_[i].line) + ": " + errors[i]);
      }
    }
    return true;
  }

  std::string LoadOne(const TManifestEntry &e, TLoaded &l) const {
    std::vector<double> samples;
    TAudioInfo info;
    std::string error;
    try {
      if (e.train) {
        if (!ReadChannel(e.path, 0, cfg_.F_Smp, samples, info, error)) {
          return error;
        }
        l.train = ExtractFeatures(cfg_, samples);
        l.nonFinite = CountNonFinite(l.train);
      } else {
        for (int ch = 0; ch < 4; ++ch) {
          if (!ReadChannel(e.path, ch, cfg_.F_Smp, samples, info, error)) {
            return error;
          }
          if (info.channels != 4) {
            return e.path + " has " + std::to_string(info.channels) +
                   " channels: an eval recording must be a four-channel recording of the array";
          }
          l.channels.push_back(ExtractFeatures(cfg_, samples));
        }
      }
    } catch (const std::exception &ex) {
      return ex.what();
    }
    l.seconds = static_cast<double>(samples.size()) / cfg_.F_Smp;
    return "";
  }

  bool FitOne(int fold, TModel &m) {
    const std::size_t dim = static_cast<std::size_t>(cfg_.N_MFCC) + 2;
    TFeatureSet sets[2] = {TFeatureSet(dim), TFeatureSet(dim)};
    for (const std::size_t i : TrainingOf(entries_, fold)) {
      const int c = entries_[i].target ? 0 : 1;
      AppendFinite(loaded_[i].train, sets[c]);
      m.seconds[c] += loaded_[i].seconds;
      m.recordings[c] += 1;
    }
    const std::string which = fold < 0 ? std::string("the final model") : "fold " + std::to_string(fold);
    const auto window = static_cast<std::size_t>(cfg_.NN) * static_cast<std::size_t>(cfg_.KK);
    for (int c = 0; c < 2; ++c) {
      if (sets[c].Count() < std::max<std::size_t>(window, 2)) {
        return Fail("too little " + std::string(c == 0 ? "target" : "background") + " training data for " + which +
                    ": " + std::to_string(sets[c].Count()) + " usable feature vectors; at least " +
                    std::to_string(window) + " are needed");
      }
    }
    TTrainModel model;
    TFitReport report; // the simple run's diagnostics; the cross-validated report measures instead
    std::string error;
    if (!FitModel(sets[0], sets[1], fit_, model, report, error)) {
      return Fail(which + ": " + error);
    }
    m.saved = ToTrainingRes(model);
    m.loaded = AsLoaded(m.saved, cfg_.IsDynamicNet);
    for (const bool dense : {false, true}) {
      const std::string why = dtc_v2::CheckTrainingData(cfg_, m.loaded, dense);
      if (!why.empty()) {
        return Fail("the classifier refuses the data fitted for " + which + ": " + why);
      }
    }
    return true;
  }

  TAlertOutcome Score(std::size_t entry, int model, double border) const {
    const TLoaded &l = loaded_[entry];
    const dtc_v2::TTrainingRes &t = models_[static_cast<std::size_t>(model)].loaded;
    std::vector<std::vector<double>> scores;
    std::size_t n = std::numeric_limits<std::size_t>::max();
    for (const TFeatureSet &ch : l.channels) {
      scores.push_back(ScoreRecording(cfg_, t, border, ch));
      n = std::min(n, scores.back().size());
    }
    std::vector<std::array<double, 4>> records(n);
    std::vector<double> times(n);
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t k = 0; k < 4; ++k) {
        records[r][k] = scores[k][r];
      }
      times[r] = ScoreTimeS(cfg_, hop_, r);
    }
    return SummariseAlerts(records, times, border);
  }

  // Share of background records at Detected_Drone over the eval scenes of `folds` (each by its own fold's
  // model) at `border`.
  double FalseShare(const std::vector<int> &folds, double border) const {
    TTally t;
    for (const int f : folds) {
      for (const std::size_t i : EvaluationOf(entries_, f)) {
        if (!entries_[i].target) {
          t.Add(Score(i, f, border));
        }
      }
    }
    return t.Share();
  }

  // The lowest border whose false-alarm share on `folds` stays within the limit: a log grid from the top down
  // to 1/1000 of it, then bisection against the next lower grid point. The classifier's persistence makes the
  // share not strictly monotone in the border; the grid keeps the search from stopping in a local dip.
  double LowestFeasible(const std::vector<int> &folds, double top) const {
    constexpr int kGrid = 24;
    const double ratio = std::pow(1e-3, 1.0 / kGrid);
    double feasible = top;
    double infeasible = 0.0;
    for (int g = 1; g <= kGrid; ++g) {
      const double b = top * std::pow(ratio, g);
      if (FalseShare(folds, b) <= a_.maxFalseAlarm) {
        feasible = b;
      } else {
        infeasible = b;
        break;
      }
    }
    if (infeasible > 0.0) {
      for (int i = 0; i < 10; ++i) {
        const double mid = std::sqrt(feasible * infeasible);
        (FalseShare(folds, mid) <= a_.maxFalseAlarm ? feasible : infeasible) = mid;
      }
    }
    return feasible;
  }

  void ChooseBorders() {
    pvc2::TPvcGeometry geom;
    pvc2::DeriveGeometry(cfg_, geom);
    hop_ = geom.Hop;
    // Above every resting score of every background scene nothing can be detected: the search starts there.
    double top = 0.0;
    for (int f = 0; f < folds_; ++f) {
      for (const std::size_t i : EvaluationOf(entries_, f)) {
        top = std::max(top, Score(i, f, std::numeric_limits<double>::max()).maxScore);
      }
    }
    top = top * 1.01 + 1e-9;
    borders_.resize(static_cast<std::size_t>(folds_) + 1);
    std::vector<int> all(static_cast<std::size_t>(folds_));
    std::iota(all.begin(), all.end(), 0);
    for (int k = 0; k < folds_; ++k) {
      std::vector<int> others;
      for (int f = 0; f < folds_; ++f) {
        if (f != k) {
          others.push_back(f);
        }
      }
      borders_[static_cast<std::size_t>(k)] = LowestFeasible(others, top);
    }
    borders_.back() = LowestFeasible(all, top);
    for (int k = 0; k < folds_; ++k) {
      for (const std::size_t i : EvaluationOf(entries_, k)) {
        cv_.push_back({i, k, Score(i, k, borders_[static_cast<std::size_t>(k)])});
      }
    }
    for (const std::size_t i : EvaluationOf(entries_, -1)) {
      final_.push_back({i, folds_, Score(i, folds_, borders_.back())});
    }
  }

  struct TCategory {
    bool target = false;
    std::size_t recordings = 0;
    std::size_t missed = 0; // target recordings never at Detected_Drone
    TTally tally;
    std::size_t events = 0;
    double seconds = 0.0;
    std::vector<double> first;
  };

  std::map<std::string, TCategory> Categories(const std::vector<TScored> &list) const {
    std::map<std::string, TCategory> cats;
    for (const TScored &s : list) {
      const TManifestEntry &e = entries_[s.entry];
      TCategory &c = cats[e.category];
      c.target = e.target;
      c.recordings += 1;
      c.tally.Add(s.outcome);
      c.events += s.outcome.events;
      c.seconds += loaded_[s.entry].seconds;
      if (s.outcome.firstDetectedS >= 0.0) {
        c.first.push_back(s.outcome.firstDetectedS);
      } else {
        c.missed += 1;
      }
    }
    return cats;
  }

  static double Median(std::vector<double> v) {
    if (v.empty()) {
      return -1.0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t h = v.size() / 2;
    return v.size() % 2 == 1 ? v[h] : 0.5 * (v[h - 1] + v[h]);
  }

  void PrintCategories(const std::map<std::string, TCategory> &cats) const {
    for (const auto &[name, c] : cats) {
      out_ << "  " << name << ": " << c.recordings << " recordings, " << c.tally.counted << " records, ";
      if (c.target) {
        out_ << Percent(c.tally.Share()) << " at Detected_Drone";
        if (!c.first.empty()) {
          out_ << ", first after " << Fixed(Median(c.first), 2) << " s (median), "
               << Fixed(*std::max_element(c.first.begin(), c.first.end()), 2) << " s (latest)";
        }
        out_ << ", " << c.missed << " never detected\n";
      } else {
        out_ << Percent(c.tally.Share()) << " false Detected_Drone, " << c.events << " false alarms in "
             << Fixed(c.seconds / 60.0, 1) << " min ("
             << Fixed(c.seconds > 0 ? static_cast<double>(c.events) * 3600.0 / c.seconds : 0.0, 1) << " per hour)\n";
      }
    }
  }

  void PrintScenes(const std::vector<TScored> &list) const {
    for (const TScored &s : list) {
      const TManifestEntry &e = entries_[s.entry];
      const TAlertOutcome &o = s.outcome;
      out_ << "    fold " << FoldName(e.fold) << " " << e.category << " "
           << Percent(o.counted == 0 ? 0.0 : static_cast<double>(o.detected) / static_cast<double>(o.counted)) << " of "
           << o.counted << " records at Detected_Drone, first "
           << (o.firstDetectedS < 0.0 ? std::string("never") : Fixed(o.firstDetectedS, 2) + " s") << ", " << o.events
           << " rises, max score " << Short(o.maxScore) << "  " << e.path << "\n";
    }
  }

  void WriteCategories(rapidjson::Writer<rapidjson::StringBuffer> &w,
                       const std::map<std::string, TCategory> &cats) const {
    w.StartObject();
    for (const auto &[name, c] : cats) {
      w.Key(name.c_str());
      w.StartObject();
      w.Key("recordings");
      w.Uint64(c.recordings);
      w.Key("records");
      w.Uint64(c.tally.counted);
      w.Key("detected_share");
      w.Double(c.tally.Share());
      if (c.target) {
        w.Key("never_detected");
        w.Uint64(c.missed);
        w.Key("first_detected_median_s");
        w.Double(Median(c.first));
        w.Key("first_detected_max_s");
        w.Double(c.first.empty() ? -1.0 : *std::max_element(c.first.begin(), c.first.end()));
      } else {
        w.Key("false_alarms_per_hour");
        w.Double(c.seconds > 0 ? static_cast<double>(c.events) * 3600.0 / c.seconds : 0.0);
      }
      w.EndObject();
    }
    w.EndObject();
  }

  void Report() const {
    out_ << "settings: NFFT " << cfg_.NFFT << ", hop " << hop_ << ", band " << cfg_.F_min << "-" << cfg_.F_mid << "-"
         << cfg_.F_max << " Hz, JJ " << cfg_.JJ << ", N_MFCC " << cfg_.N_MFCC << ", MF_Wnd " << cfg_.MF_Wnd << ", M "
         << cfg_.M << ", NM " << fit_.NM << ", PowCount " << fit_.PowCount << ", window NN " << cfg_.NN << " x KK "
         << cfg_.KK << ", KN " << cfg_.KN << (cfg_.IsDynamicNet ? ", edge tables" : "") << "\n";
    out_ << "manifest: " << entries_.size() << " recordings, " << folds_ << " folds\n";
    for (int k = 0; k <= folds_; ++k) {
      const TModel &m = models_[static_cast<std::size_t>(k)];
      out_ << (k == folds_ ? "final model" : "fold " + std::to_string(k)) << ": trained on " << m.recordings[0]
           << " target (" << Fixed(m.seconds[0], 0) << " s) and " << m.recordings[1] << " background ("
           << Fixed(m.seconds[1], 0) << " s) recordings, border " << Short(borders_[static_cast<std::size_t>(k)])
           << (k == folds_ ? " (chosen on every fold's held-out records)" : " (chosen on the other folds)") << "\n";
    }
    TTally t, b;
    for (const TScored &s : cv_) {
      (entries_[s.entry].target ? t : b).Add(s.outcome);
    }
    out_ << "cross-validation (each recording scored by the model that never heard it, four channels, alert "
            "rule; false-alarm limit "
         << Percent(a_.maxFalseAlarm) << " of background records):\n";
    const auto cv = Categories(cv_);
    PrintCategories(cv);
    out_ << "  all target records " << Percent(t.Share()) << " at Detected_Drone, all background records "
         << Percent(b.Share()) << "\n";
    PrintScenes(cv_);
    const auto fin = Categories(final_);
    if (!final_.empty()) {
      out_ << "held out of all training, final model at border " << Short(borders_.back()) << ":\n";
      PrintCategories(fin);
      if (a_.verbose) {
        PrintScenes(final_);
      }
    }
    out_ << "wrote " << a_.out << "\n";

    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    w.StartObject();
    w.Key("border");
    w.Double(borders_.back());
    w.Key("detection_rate");
    w.Double(t.Share());
    w.Key("false_alarm_rate");
    w.Double(b.Share());
    w.Key("cross_validation");
    WriteCategories(w, cv);
    w.Key("held_out");
    WriteCategories(w, fin);
    w.EndObject();
    out_ << sb.GetString() << "\n";
  }

  const TCrossValidationArgs &a_;
  const detection::TDetectConfig &cfg_;
  const TFitOptions &fit_;
  std::ostream &out_;
  std::ostream &err_;
  std::vector<TManifestEntry> entries_;
  std::vector<TLoaded> loaded_;
  int folds_ = 0;
  int hop_ = 1;
  std::vector<TModel> models_;  // fold 0 .. K-1, then the final model
  std::vector<double> borders_; // the same order
  std::vector<TScored> cv_;     // every fold's eval scenes by their fold's model
  std::vector<TScored> final_;  // the '-' eval scenes by the final model
};

} // namespace

int RunCrossValidation(const TCrossValidationArgs &a, const detection::TDetectConfig &cfg, const TFitOptions &fit,
                       std::ostream &out, std::ostream &err) {
  try {
    return TCrossValidation(a, cfg, fit, out, err).Run();
  } catch (const std::exception &e) {
    err << "ormelin_train: " << e.what() << "\n";
    return 1;
  }
}

} // namespace train
