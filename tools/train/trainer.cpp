#include "tools/train/trainer.h"

#include "tools/train/audio.h"
#include "tools/train/crossval.h"
#include "tools/train/fit.h"
#include "tools/train/report_text.h"
#include "tools/train/roc.h"
#include "tools/train/split.h"
#include "tools/train/station.h"

#include "detection/detect_config.h"
#include "detection/dtc_v2/detector.h"
#include "detection/dtc_v2/training_res.h"
#include "detection/pvc2/pvc_geometry.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <tuple>

namespace train {
namespace {

constexpr const char *kUsage =
    "usage: ormelin_train --settings DIR/ --target FILE... --background FILE... --out FILE [options]\n"
    "       ormelin_train --settings DIR/ --manifest FILE --out FILE [options]\n"
    "Fits the training file of the station's histogram classifier to target and background recordings\n"
    "(WAV, FLAC; any rate, resampled to detect.json's F_Smp) and reports held-out figures.\n"
    "  --settings DIR/              directory holding detect.json (features, M, window)\n"
    "  --target FILE...             recordings of the sound to detect\n"
    "  --background FILE...         recordings of everything else\n"
    "  --out FILE                   training file to write (only when training succeeds)\n"
    "  --holdout FILE...            hold exactly these target/background recordings out of training\n"
    "  --holdout-share X            share of each class's recordings held out at random (default 0.25;\n"
    "                               0: none, figures are then on the training recordings)\n"
    "  --seed N                     seed of the random hold-out choice (default 1)\n"
    "  --report-background FILE...  further background recordings, only scored and reported apart\n"
    "  --nm N                       histogram bins per projected dimension (default 16)\n"
    "  --powcount P                 power terms per feature, 1 to 4 (default 1: linear projection)\n"

    "  --signed-weights             bins the background favours weigh negatively (summed evidence)\n"
    "  --channel K                  channel (from 0) to take from multichannel files\n"
    "  --max-false-alarm X          false-alarm share allowed at the recommended border (default 0.01)\n"
    "  --verbose                    figures per recording\n"
    "  --manifest FILE              cross-validated training from a recording list (lines CLASS ROLE FOLD\n"
    "                               GROUPS CATEGORY PATH, see scripts/make_training): one model per fold\n"
    "                               scored on the fold's four-channel eval recordings with the alert rule,\n"
    "                               then the final model on every train recording; --max-false-alarm is\n"
    "                               then the share of background records at Detected_Drone\n"
    "  --jobs N                     feature-extraction threads with --manifest (default: one per processor)\n"
    "  --fold-dir DIR               with --manifest: also write each fold's training file (fold-K.json) and\n"
    "                               the borders (borders.txt: \"K BORDER\" per fold, \"final BORDER\")\n"
    "The last line of the report is one JSON object with detection_rate, false_alarm_rate, auc, border.\n"
    "Exit status: 0 done, 1 bad input, 2 usage error.\n";

enum class TRole { Train, HeldOut, Report };

struct TRecording {
  std::string name;
  bool target = false;
  TRole role = TRole::Train;
  TFeatureSet features;
  std::size_t nonFinite = 0;
  double seconds = 0.0;
  std::vector<double> scores;
};

bool ParseDouble(const std::string &s, double &v) {
  const char *end = s.data() + s.size();
  const auto res = std::from_chars(s.data(), end, v);
  return res.ec == std::errc() && res.ptr == end && std::isfinite(v);
}

template <typename T> bool ParseInt(const std::string &s, T &v) {
  const char *end = s.data() + s.size();
  const auto res = std::from_chars(s.data(), end, v);
  return res.ec == std::errc() && res.ptr == end;
}

std::string Border(double v) { return Short(v); }

// Scores of the evaluated recordings of one class, pooled.
std::vector<double> Pool(const std::vector<TRecording *> &recs) {
  std::vector<double> all;
  for (const TRecording *r : recs) {
    all.insert(all.end(), r->scores.begin(), r->scores.end());
  }
  return all;
}

class TTrainerRun {
public:
  TTrainerRun(const TTrainerArgs &a, std::ostream &out, std::ostream &err) : a_(a), out_(out), err_(err) {}

  int Run() {
    if (!a_.manifest.empty()) {
      if (!LoadSettings() || !CheckOutput()) {
        return 1;
      }
      TCrossValidationArgs cv;
      cv.manifestPath = a_.manifest;
      cv.out = a_.out;
      cv.maxFalseAlarm = a_.maxFalseAlarm;
      cv.jobs = a_.jobs;
      cv.foldDir = a_.foldDir;
      cv.verbose = a_.verbose;
      return RunCrossValidation(cv, cfg_, fit_, out_, err_);
    }
    if (!LoadSettings() || !CheckOutput() || !ReadRecordings() || !AssignHoldout() || !Fit() || !Evaluate()) {
      return 1;
    }
    if (!saved_.Save(a_.out)) {
      return Fail("cannot write the training file " + a_.out);
    }
    Report();
    return 0;
  }

private:
  bool Fail(const std::string &line) {
    err_ << "ormelin_train: " << line << "\n";
    return false;
  }

  bool LoadSettings() {
    std::string dir = a_.settingsDir;
    if (!dir.empty() && dir.back() != '/') {
      dir += '/';
    }
    detectPath_ = dir + "detect.json";
    if (!std::ifstream(detectPath_).is_open() || std::filesystem::is_directory(detectPath_)) {
      return Fail("cannot read the settings file " + detectPath_);
    }
    cfg_.ReadFromJson(detectPath_);
    std::string why = pvc2::DeriveGeometry(cfg_, geom_);
    if (why.empty()) {
      why = dtc_v2::CheckClassifierSettings(cfg_);
    }
    if (why.empty()) {
      fit_.M = cfg_.M;
      fit_.NM = a_.nm;
      fit_.PowCount = a_.powcount;
      fit_.signedWeights = a_.signedWeights;
      fit_.edges = cfg_.IsDynamicNet;
      why = CheckFitOptions(fit_);
    }
    if (!why.empty()) {
      return Fail(detectPath_ + ": " + why);
    }
    windowVectors_ = static_cast<std::size_t>(cfg_.NN) * static_cast<std::size_t>(cfg_.KK);
    return true;
  }

  bool CheckOutput() {
    const std::filesystem::path p(a_.out);
    const std::filesystem::path parent = p.has_parent_path() ? p.parent_path() : std::filesystem::path(".");
    std::error_code ec;
    if (!std::filesystem::is_directory(parent, ec)) {
      return Fail("cannot write the training file " + a_.out + ": no directory " + parent.string());
    }
    if (std::filesystem::is_directory(p, ec)) {
      return Fail("cannot write the training file " + a_.out + ": it is a directory");
    }
    return true;
  }

  bool ReadOne(const std::string &path, bool target, TRole role) {
    std::vector<double> samples;
    TAudioInfo info;
    std::string error;
    if (!ReadChannel(path, a_.channel, cfg_.F_Smp, samples, info, error)) {
      return Fail(error);
    }
    TRecording rec;
    rec.name = path;
    rec.target = target;
    rec.role = role;
    rec.seconds = static_cast<double>(samples.size()) / cfg_.F_Smp;
    rec.features = ExtractFeatures(cfg_, samples);
    rec.nonFinite = CountNonFinite(rec.features);
    if (info.resampled && a_.verbose) {
      out_ << "resampled " << path << " from " << info.rateHz << " Hz to " << cfg_.F_Smp << " Hz\n";
    }
    recs_.push_back(std::move(rec));
    return true;
  }

  bool ReadRecordings() {
    for (const auto &p : a_.target) {
      if (!ReadOne(p, true, TRole::Train)) {
        return false;
      }
    }
    for (const auto &p : a_.background) {
      if (!ReadOne(p, false, TRole::Train)) {
        return false;
      }
    }
    for (const auto &p : a_.reportBackground) {
      if (!ReadOne(p, false, TRole::Report)) {
        return false;
      }
    }
    return true;
  }

  // A class with a single recording and no named hold-out keeps the recording's head for training and holds
  // its tail out; the vectors whose frames straddle the cut are left out of both.
  void SplitInTime(std::size_t index, double share) {
    TRecording &whole = recs_[index];
    const std::size_t count = whole.features.Count();
    const auto tailCount = static_cast<std::size_t>(std::lround(share * static_cast<double>(count)));
    const auto straddle = static_cast<std::size_t>(geom_.HopsBack);
    if (tailCount == 0 || tailCount + straddle >= count) {
      return;
    }
    const std::size_t headCount = count - tailCount - straddle;
    TRecording tail;
    tail.name = whole.name + " (last " + Fixed(100.0 * share, 0) + " %)";
    tail.target = whole.target;
    tail.role = TRole::HeldOut;
    tail.features = TFeatureSet(whole.features.dim);
    tail.features.values.assign(whole.features.values.begin() +
                                    static_cast<std::ptrdiff_t>((count - tailCount) * whole.features.dim),
                                whole.features.values.end());
    tail.nonFinite = CountNonFinite(tail.features);
    tail.seconds = whole.seconds * static_cast<double>(tailCount) / static_cast<double>(count);
    whole.features.values.resize(headCount * whole.features.dim);
    whole.nonFinite = CountNonFinite(whole.features);
    whole.seconds -= tail.seconds;
    whole.name += " (first " + Fixed(100.0 * (1.0 - share), 0) + " %)";
    recs_.push_back(std::move(tail));
  }

  bool AssignHoldout() {
    if (!a_.holdout.empty()) {
      for (const auto &h : a_.holdout) {
        for (TRecording &r : recs_) {
          if (r.role != TRole::Report && r.name == h) {
            r.role = TRole::HeldOut;
          }
        }
      }
    } else {
      const double share = a_.holdoutShare.value_or(kDefaultHoldoutShare);
      for (const bool target : {true, false}) {
        std::vector<std::size_t> members;
        for (std::size_t i = 0; i < recs_.size(); ++i) {
          if (recs_[i].role == TRole::Train && recs_[i].target == target) {
            members.push_back(i);
          }
        }
        if (members.size() == 1 && share > 0.0) {
          SplitInTime(members[0], share);
          continue;
        }
        // Different streams for the two classes, so their choices are not mirror images.
        const std::uint32_t seed = target ? a_.seed : a_.seed ^ 0x9e3779b9U;
        for (const std::size_t k : ChooseHoldout(members.size(), share, seed)) {
          recs_[members[k]].role = TRole::HeldOut;
        }
      }
    }
    for (const bool target : {true, false}) {
      const bool any = std::any_of(recs_.begin(), recs_.end(),
                                   [&](const TRecording &r) { return r.target == target && r.role == TRole::Train; });
      if (!any) {
        return Fail(std::string("every ") + (target ? "target" : "background") +
                    " recording is held out: nothing is left to train on");
      }
    }
    return true;
  }

  bool Fit() {
    const std::size_t dim = static_cast<std::size_t>(cfg_.N_MFCC) + 2;
    TFeatureSet sets[2] = {TFeatureSet(dim), TFeatureSet(dim)};
    for (const TRecording &r : recs_) {
      if (r.role == TRole::Train) {
        const int c = r.target ? 0 : 1;
        AppendFinite(r.features, sets[c]);
        dropped_[c] += r.nonFinite;
        trainSeconds_[c] += r.seconds;
      }
    }
    for (int c = 0; c < 2; ++c) {
      if (sets[c].Count() < std::max<std::size_t>(windowVectors_, 2)) {
        return Fail(std::string("too little ") + (c == 0 ? "target" : "background") + " training data: " +
                    std::to_string(sets[c].Count()) + " usable feature vectors (" + Fixed(trainSeconds_[c], 1) +
                    " s of sound, " + std::to_string(dropped_[c]) + " non-finite vectors dropped); at least " +
                    std::to_string(windowVectors_) + " (one window of NN x KK vectors) are needed");
      }
      trainVectors_[c] = sets[c].Count();
    }
    std::string error;
    if (!FitModel(sets[0], sets[1], fit_, model_, fitReport_, error)) {
      return Fail(error);
    }
    // Evaluate exactly what the station will read back from the file.
    saved_ = ToTrainingRes(model_);
    t_ = AsLoaded(saved_, cfg_.IsDynamicNet);
    // The file must serve both deliverables: the sorted-index lookup and the dense table.
    for (const bool dense : {false, true}) {
      const std::string why = dtc_v2::CheckTrainingData(cfg_, t_, dense);
      if (!why.empty()) {
        return Fail("the classifier refuses the fitted data: " + why);
      }
    }
    return true;
  }

  void ScoreAll(double border, std::vector<double> &ts, std::vector<double> &bs) {
    ts.clear();
    bs.clear();
    for (TRecording *r : evalT_) {
      r->scores = ScoreRecording(cfg_, t_, border, r->features);
    }
    for (TRecording *r : evalB_) {
      r->scores = ScoreRecording(cfg_, t_, border, r->features);
    }
    ts = Pool(evalT_);
    bs = Pool(evalB_);
  }

  bool Evaluate() {
    for (TRecording &r : recs_) {
      if (r.role == TRole::HeldOut) {
        (r.target ? evalT_ : evalB_).push_back(&r);
      } else if (r.role == TRole::Report) {
        report_.push_back(&r);
      }
    }
    heldOut_ = !evalT_.empty() && !evalB_.empty();
    // Without recordings held out of a class its training recordings stand in (and the report says so).
    for (const bool target : {true, false}) {
      auto &eval = target ? evalT_ : evalB_;
      if (eval.empty()) {
        for (TRecording &r : recs_) {
          if (r.role == TRole::Train && r.target == target) {
            eval.push_back(&r);
          }
        }
      }
    }

    // Resting window (no detection ever grows it): the classifier's plain ranking, for the ROC area.
    std::vector<double> ts;
    std::vector<double> bs;
    ScoreAll(std::numeric_limits<double>::max(), ts, bs);
    if (ts.empty() || bs.empty()) {
      const double need = (cfg_.NFFT + static_cast<double>(windowVectors_ - 1) * geom_.Hop) / cfg_.F_Smp;
      return Fail(std::string("the evaluated ") + (ts.empty() ? "target" : "background") +
                  " recordings give no score: a recording needs at least " + Fixed(need, 2) +
                  " s of sound (NN x KK feature vectors)");
    }
    auc_ = RocAuc(ts, bs);
    double restingMax = 0.0;
    for (double s : ts)
      restingMax = std::max(restingMax, s);
    for (double s : bs)
      restingMax = std::max(restingMax, s);

    // The border changes the scores (a detection grows the next window), so each candidate is measured with
    // the classifier running at that very border; the candidate with the most detections within the
    // false-alarm limit wins.
    struct TTry {
      double border;
      TRates rates;
    };
    std::vector<TTry> tries;
    double border = RecommendBorder(ts, bs, a_.maxFalseAlarm);
    for (int i = 0; i < 12; ++i) {
      ScoreAll(border, ts, bs);
      tries.push_back({border, RatesAt(ts, bs, border)});
      const double next = RecommendBorder(ts, bs, a_.maxFalseAlarm);
      if (std::any_of(tries.begin(), tries.end(), [next](const TTry &x) { return x.border == next; })) {
        break;
      }
      border = next;
    }
    const TTry *best = nullptr;
    for (const TTry &x : tries) {
      // Most detections first, then fewest false alarms, then the higher border.
      const auto key = [](const TTry &y) { return std::make_tuple(y.rates.detection, -y.rates.falseAlarm, y.border); };
      if (x.rates.falseAlarm <= a_.maxFalseAlarm && (best == nullptr || key(x) > key(*best))) {
        best = &x;
      }
    }
    if (best != nullptr) {
      border_ = best->border;
    } else {
      // Persistence lifts scores above every candidate; raise the border until the limit holds. Above the
      // highest resting score nothing is ever detected, so the loop ends there at the latest.
      border_ = tries.back().border;
      for (int i = 0; i < 200; ++i) {
        border_ = std::min(border_ * 1.25, restingMax * 1.01 + 1e-9);
        ScoreAll(border_, ts, bs);
        if (RatesAt(ts, bs, border_).falseAlarm <= a_.maxFalseAlarm) {
          break;
        }
      }
    }
    ScoreAll(border_, ts, bs);
    rates_ = RatesAt(ts, bs, border_);
    targetScores_ = ts.size();
    backgroundScores_ = bs.size();

    for (TRecording *r : report_) {
      r->scores = ScoreRecording(cfg_, t_, border_, r->features);
    }
    reportScores_ = Pool(report_);
    return true;
  }

  void Report() {
    out_ << "settings: " << detectPath_ << " (F_Smp " << cfg_.F_Smp << " Hz, NFFT " << cfg_.NFFT << ", hop "
         << geom_.Hop << ", N_MFCC " << cfg_.N_MFCC << ", M " << cfg_.M << ", window NN " << cfg_.NN << " x KK "
         << cfg_.KK << ", KN " << cfg_.KN << (cfg_.IsDynamicNet ? ", edge tables" : "") << ")\n";
    for (const bool target : {true, false}) {
      std::size_t train = 0;
      std::size_t held = 0;
      for (const TRecording &r : recs_) {
        if (r.target == target && r.role != TRole::Report) {
          (r.role == TRole::Train ? train : held) += 1;
        }
      }
      out_ << (target ? "target" : "background") << ": " << train << " recordings for training ("
           << Fixed(trainSeconds_[target ? 0 : 1], 1) << " s, " << trainVectors_[target ? 0 : 1] << " feature vectors, "
           << dropped_[target ? 0 : 1] << " non-finite dropped), " << held << " held out\n";
    }
    for (const TRecording &r : recs_) {
      if (r.role == TRole::HeldOut) {
        out_ << "  held out: " << (r.target ? "target     " : "background ") << r.name << "\n";
      }
    }
    out_ << "projection: " << fit_.M << " of " << fitReport_.rank << " independent directions, PowCount "
         << fit_.PowCount << "\n";
    for (std::size_t k = 0; k < fitReport_.directions.size(); ++k) {
      const auto &d = fitReport_.directions[k];
      out_ << "  dimension " << k << ": separation " << Fixed(d.separation, 2) << " (target " << Fixed(d.targetMean, 2)
           << " sd " << Fixed(d.targetSd, 2) << ", background " << Fixed(d.backgroundMean, 2) << " sd "
           << Fixed(d.backgroundSd, 2) << ")\n";
    }
    out_ << "histogram: NM " << fit_.NM << ", " << fitReport_.rewardedBins << " rewarded bins of "
         << fitReport_.occupiedBins << " occupied; inside the bounds: target " << Percent(fitReport_.targetInBounds)
         << ", background " << Percent(fitReport_.backgroundInBounds) << "\n";
    if (!heldOut_) {
      out_ << "no recordings of a class held out: its figures below come from its training recordings (optimistic)\n";
    }
    out_ << "evaluated scores: target " << targetScores_ << " (" << evalT_.size() << " recordings), background "
         << backgroundScores_ << " (" << evalB_.size() << " recordings)\n";
    out_ << "recommended border " << Border(border_) << " (false alarms at most " << Percent(a_.maxFalseAlarm)
         << "): detection rate " << Percent(rates_.detection) << ", false-alarm rate " << Percent(rates_.falseAlarm)
         << ", ROC area " << Fixed(auc_, 4) << "\n";
    if (!report_.empty()) {
      out_ << "report background: " << reportScores_.size() << " scores (" << report_.size()
           << " recordings), false-alarm rate "
           << (reportScores_.empty() ? std::string("n/a") : Percent(RatesAt({}, reportScores_, border_).falseAlarm))
           << " at border " << Border(border_) << "\n";
    }
    if (a_.verbose) {
      for (const TRecording &r : recs_) {
        double mean = 0.0;
        double top = 0.0;
        for (double s : r.scores) {
          mean += s / static_cast<double>(r.scores.size());
          top = std::max(top, s);
        }
        const char *role = r.role == TRole::Train ? "train   " : (r.role == TRole::HeldOut ? "held out" : "report  ");
        out_ << "  " << (r.target ? "target     " : "background ") << role << " " << Fixed(r.seconds, 1) << " s, "
             << r.features.Count() << " vectors (" << r.nonFinite << " non-finite)";
        if (!r.scores.empty()) {
          const TRates rr = RatesAt(r.scores, {}, border_);
          out_ << ", " << r.scores.size() << " scores, mean " << Fixed(mean, 3) << ", max " << Fixed(top, 3) << ", "
               << Percent(rr.detection) << " >= border";
        }
        out_ << "  " << r.name << "\n";
      }
    }
    out_ << "wrote " << a_.out << "\n";

    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    w.StartObject();
    w.Key("detection_rate");
    w.Double(rates_.detection);
    w.Key("false_alarm_rate");
    w.Double(rates_.falseAlarm);
    w.Key("auc");
    w.Double(auc_);
    w.Key("border");
    w.Double(border_);
    w.Key("held_out");
    w.Bool(heldOut_);
    w.Key("target_scores");
    w.Uint64(targetScores_);
    w.Key("background_scores");
    w.Uint64(backgroundScores_);
    if (!report_.empty()) {
      w.Key("report_background_scores");
      w.Uint64(reportScores_.size());
      if (!reportScores_.empty()) {
        w.Key("report_background_false_alarm_rate");
        w.Double(RatesAt({}, reportScores_, border_).falseAlarm);
      }
    }
    w.EndObject();
    out_ << sb.GetString() << "\n";
  }

  const TTrainerArgs &a_;
  std::ostream &out_;
  std::ostream &err_;
  std::string detectPath_;
  detection::TDetectConfig cfg_;
  pvc2::TPvcGeometry geom_;
  TFitOptions fit_;
  std::size_t windowVectors_ = 0;
  std::vector<TRecording> recs_;
  std::size_t dropped_[2] = {0, 0};
  std::size_t trainVectors_[2] = {0, 0};
  double trainSeconds_[2] = {0.0, 0.0};
  TTrainModel model_;
  TFitReport fitReport_;
  dtc_v2::TTrainingRes saved_; // written to the training file
  dtc_v2::TTrainingRes t_;     // the same as the station reads it back, used for every score
  std::vector<TRecording *> evalT_;
  std::vector<TRecording *> evalB_;
  std::vector<TRecording *> report_;
  bool heldOut_ = false;
  double auc_ = 0.5;
  double border_ = 0.0;
  TRates rates_;
  std::size_t targetScores_ = 0;
  std::size_t backgroundScores_ = 0;
  std::vector<double> reportScores_;
};

} // namespace

std::string ParseTrainerArgs(const std::vector<std::string> &args, TTrainerArgs &a) {
  a = TTrainerArgs{};
  bool haveSeed = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &opt = args[i];
    auto files = [&](std::vector<std::string> &list) -> std::string {
      const std::size_t before = list.size();
      while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
        list.push_back(args[++i]);
      }
      return list.size() == before ? opt + " needs at least one FILE" : "";
    };
    auto value = [&](std::string &v) -> std::string {
      if (i + 1 >= args.size()) {
        return opt + " needs a value";
      }
      v = args[++i];
      return "";
    };
    std::string v;
    std::string why;
    if (opt == "--help" || opt == "-h") {
      a.help = true;
      return "";
    } else if (opt == "--target") {
      why = files(a.target);
    } else if (opt == "--background") {
      why = files(a.background);
    } else if (opt == "--holdout") {
      why = files(a.holdout);
    } else if (opt == "--report-background") {
      why = files(a.reportBackground);
    } else if (opt == "--settings") {
      why = value(a.settingsDir);
    } else if (opt == "--out") {
      why = value(a.out);
    } else if (opt == "--manifest") {
      why = value(a.manifest);
    } else if (opt == "--fold-dir") {
      why = value(a.foldDir);
    } else if (opt == "--jobs") {
      why = value(v);
      if (why.empty() && (!ParseInt(v, a.jobs) || a.jobs < 1 || a.jobs > 256)) {
        why = "--jobs takes a thread count from 1 to 256, not " + v;
      }
    } else if (opt == "--signed-weights") {
      a.signedWeights = true;
    } else if (opt == "--verbose") {
      a.verbose = true;
    } else if (opt == "--holdout-share") {
      double share = 0.0;
      why = value(v);
      if (why.empty() && (!ParseDouble(v, share) || share < 0.0 || share >= 1.0)) {
        why = "--holdout-share takes a share from 0 to below 1, not " + v;
      }
      a.holdoutShare = share;
    } else if (opt == "--max-false-alarm") {
      why = value(v);
      if (why.empty() && (!ParseDouble(v, a.maxFalseAlarm) || a.maxFalseAlarm < 0.0 || a.maxFalseAlarm >= 1.0)) {
        why = "--max-false-alarm takes a share from 0 to below 1, not " + v;
      }
    } else if (opt == "--seed") {
      why = value(v);
      haveSeed = true;
      if (why.empty() && !ParseInt(v, a.seed)) {
        why = "--seed takes a non-negative integer below 2^32, not " + v;
      }
    } else if (opt == "--nm") {
      why = value(v);
      if (why.empty() && (!ParseInt(v, a.nm) || a.nm < 2 || a.nm > 4096)) {
        why = "--nm takes a bin count from 2 to 4096, not " + v;
      }
    } else if (opt == "--powcount") {
      why = value(v);
      if (why.empty() && (!ParseInt(v, a.powcount) || a.powcount < 1 || a.powcount > 4)) {
        why = "--powcount takes 1 to 4, not " + v;
      }
    } else if (opt == "--channel") {
      why = value(v);
      if (why.empty() && (!ParseInt(v, a.channel) || a.channel < 0)) {
        why = "--channel takes a channel number from 0, not " + v;
      }
    } else {
      why = "unknown argument " + opt;
    }
    if (!why.empty()) {
      return why;
    }
  }
  if (a.settingsDir.empty()) {
    return "--settings DIR/ is missing";
  }
  if (a.out.empty()) {
    return "--out FILE is missing";
  }
  if (!a.foldDir.empty() && a.manifest.empty()) {
    return "--fold-dir needs --manifest";
  }
  if (!a.manifest.empty()) {
    if (!a.target.empty() || !a.background.empty() || !a.holdout.empty() || !a.reportBackground.empty() ||
        a.holdoutShare || haveSeed) {
      return "--manifest lists every recording and its fold; it cannot be combined with --target, --background, "
             "--holdout, --holdout-share, --seed or --report-background";
    }
    return "";
  }
  if (a.target.empty()) {
    return "--target FILE... is missing";
  }
  if (a.background.empty()) {
    return "--background FILE... is missing";
  }
  if (!a.holdout.empty() && (a.holdoutShare || haveSeed)) {
    return "--holdout names the held-out recordings; it cannot be combined with --holdout-share or --seed";
  }
  std::set<std::string> seen;
  for (const auto *list : {&a.target, &a.background, &a.reportBackground}) {
    for (const auto &f : *list) {
      if (!seen.insert(f).second) {
        return f + " is listed twice (each recording belongs to one class and role)";
      }
    }
  }
  for (const auto &h : a.holdout) {
    if (std::find(a.target.begin(), a.target.end(), h) == a.target.end() &&
        std::find(a.background.begin(), a.background.end(), h) == a.background.end()) {
      return "--holdout " + h + " is not among the --target or --background recordings";
    }
  }
  return "";
}

int RunTrainer(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
  TTrainerArgs a;
  const std::string usage = ParseTrainerArgs(args, a);
  if (a.help) {
    out << kUsage;
    return 0;
  }
  if (!usage.empty()) {
    err << "ormelin_train: " << usage << " (see --help)\n";
    return 2;
  }
  try {
    return TTrainerRun(a, out, err).Run();
  } catch (const std::exception &e) {
    err << "ormelin_train: " << e.what() << "\n";
    return 1;
  }
}

} // namespace train
