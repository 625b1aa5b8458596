#include "tools/train/fit.h"

#include "tools/train/linalg.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <utility>

namespace train {
namespace {

// Values of the expanded feature vector: z itself for PowCount 1 (and 2, whose block 0 is only a constant),
// z^1 .. z^(P-1) for PowCount P > 2.
std::size_t PowerBlocks(int powCount) { return static_cast<std::size_t>(std::max(1, powCount - 1)); }

void Expand(const TTrainModel &model, std::size_t blocks, const double *x, double *u) {
  const std::size_t n = model.FeatureCount();
  for (std::size_t j = 0; j < n; ++j) {
    const double z = (x[j] - model.maxX[j]) * (1.0 / model.minX[j]) - model.X0[j];
    double zk = z;
    for (std::size_t k = 0; k < blocks; ++k) {
      u[k * n + j] = zk;
      zk *= z;
    }
  }
}

struct TMoments {
  std::vector<double> mean;
  TSquare cov;
};

TMoments Moments(const TFeatureSet &set, const TTrainModel &model, std::size_t blocks) {
  const std::size_t d = model.FeatureCount() * blocks;
  const std::size_t count = set.Count();
  TMoments m{std::vector<double>(d, 0.0), TSquare(d)};
  std::vector<double> u(d);
  for (std::size_t i = 0; i < count; ++i) {
    Expand(model, blocks, set.Row(i), u.data());
    for (std::size_t a = 0; a < d; ++a) {
      m.mean[a] += u[a];
    }
  }
  for (double &v : m.mean) {
    v /= static_cast<double>(count);
  }
  // Second pass about the mean: the power terms can be large and a one-pass sum would cancel badly.
  for (std::size_t i = 0; i < count; ++i) {
    Expand(model, blocks, set.Row(i), u.data());
    for (std::size_t a = 0; a < d; ++a) {
      u[a] -= m.mean[a];
    }
    for (std::size_t a = 0; a < d; ++a) {
      for (std::size_t b = a; b < d; ++b) {
        m.cov(a, b) += u[a] * u[b];
      }
    }
  }
  for (std::size_t a = 0; a < d; ++a) {
    for (std::size_t b = a; b < d; ++b) {
      m.cov(a, b) /= static_cast<double>(count);
      m.cov(b, a) = m.cov(a, b);
    }
  }
  return m;
}

// Per-feature mean and standard deviation of the class-balanced mixture.
void FitNormalisation(const TFeatureSet &target, const TFeatureSet &background, TTrainModel &model) {
  const std::size_t n = target.dim;
  model.maxX.assign(n, 0.0);
  model.minX.assign(n, 1.0);
  model.X0.assign(n, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    double mean[2] = {0.0, 0.0};
    double var[2] = {0.0, 0.0};
    const TFeatureSet *sets[2] = {&target, &background};
    for (int c = 0; c < 2; ++c) {
      const std::size_t count = sets[c]->Count();
      for (std::size_t i = 0; i < count; ++i) {
        mean[c] += sets[c]->Row(i)[j];
      }
      mean[c] /= static_cast<double>(count);
      for (std::size_t i = 0; i < count; ++i) {
        const double e = sets[c]->Row(i)[j] - mean[c];
        var[c] += e * e;
      }
      var[c] /= static_cast<double>(count);
    }
    const double mixMean = 0.5 * (mean[0] + mean[1]);
    const double split = 0.5 * (mean[0] - mean[1]);
    const double sd = std::sqrt(0.5 * (var[0] + var[1]) + split * split);
    model.maxX[j] = mixMean;
    // A feature that never varies carries no information; divisor 1 keeps z finite (and zero) for it.
    model.minX[j] = sd > 1e-9 * std::max(1.0, std::abs(mixMean)) ? sd : 1.0;
  }
}

double Dot(const std::vector<double> &a, const std::vector<double> &b) {
  return std::inner_product(a.begin(), a.end(), b.begin(), 0.0);
}

double SymmetricKl(double meanDiff, double varA, double varB) {
  const double va = std::max(varA, 1e-300);
  const double vb = std::max(varB, 1e-300);
  return 0.5 * (va / vb + vb / va - 2.0) + 0.5 * meanDiff * meanDiff * (1.0 / va + 1.0 / vb);
}

// Value at share p of the sorted values (nearest rank).
double Quantile(const std::vector<double> &sorted, double p) {
  const double pos = p * static_cast<double>(sorted.size() - 1);
  return sorted[static_cast<std::size_t>(std::lround(pos))];
}

// Projected values of one class, one vector per dimension.
std::vector<std::vector<double>> ProjectAll(const TTrainModel &model, const TFeatureSet &set) {
  const auto m = static_cast<std::size_t>(model.M);
  std::vector<std::vector<double>> out(m, std::vector<double>(set.Count()));
  std::vector<double> y(m);
  for (std::size_t i = 0; i < set.Count(); ++i) {
    Project(model, set.Row(i), y.data());
    for (std::size_t k = 0; k < m; ++k) {
      out[k][i] = y[k];
    }
  }
  return out;
}

// NM + 1 strictly ascending edges from lo to just above hi, interior edges at the class-balanced quantiles.
std::vector<double> QuantileEdges(const std::vector<double> &t, const std::vector<double> &b, double lo, double hi,
                                  int nm) {
  std::vector<std::pair<double, double>> pooled; // value, weight
  pooled.reserve(t.size() + b.size());
  for (double v : t) {
    pooled.emplace_back(v, 0.5 / static_cast<double>(t.size()));
  }
  for (double v : b) {
    pooled.emplace_back(v, 0.5 / static_cast<double>(b.size()));
  }
  std::sort(pooled.begin(), pooled.end());
  const double span = hi - lo;
  std::vector<double> e(static_cast<std::size_t>(nm) + 1);
  e.front() = lo;
  // The classifier counts a value up to hi + 1e-10 as inside; the last edge must lie above that or such a value
  // would get index NM, outside the table.
  e.back() = hi + std::max(1e-6 * span, 1e-8);
  std::size_t pos = 0;
  double cumulative = 0.0;
  for (int i = 1; i < nm; ++i) {
    const double level = static_cast<double>(i) / nm;
    while (pos < pooled.size() && cumulative + pooled[pos].second < level) {
      cumulative += pooled[pos].second;
      ++pos;
    }
    const double q = pos < pooled.size() ? pooled[pos].first : hi;
    e[static_cast<std::size_t>(i)] = std::clamp(q, lo, hi);
  }
  // Tied quantiles (a value the sound keeps repeating) would give empty bins; keep a tiny gap instead.
  const double gap = 1e-6 * span / nm;
  for (std::size_t i = 1; i + 1 < e.size(); ++i) {
    e[i] = std::max(e[i], e[i - 1] + gap);
  }
  for (std::size_t i = e.size() - 2; i >= 1; --i) {
    e[i] = std::min(e[i], e[i + 1] - gap);
  }
  return e;
}

// Bins of one projected dimension: bounds from each class's tails, and with edge tables the quantile edges.
struct TDimBins {
  double lo = 0.0;
  double hi = 0.0;
  std::vector<double> edges; // empty without edge tables
};

TDimBins FitDimBins(const std::vector<double> &t, const std::vector<double> &b, const TFitOptions &options) {
  std::vector<double> st = t;
  std::vector<double> sb = b;
  std::sort(st.begin(), st.end());
  std::sort(sb.begin(), sb.end());
  TDimBins bins;
  bins.lo = std::min(Quantile(st, options.tail), Quantile(sb, options.tail));
  bins.hi = std::max(Quantile(st, 1.0 - options.tail), Quantile(sb, 1.0 - options.tail));
  if (!(bins.hi - bins.lo > 1e-9)) {
    bins.lo -= 0.5;
    bins.hi += 0.5;
  }
  if (options.edges) {
    bins.edges = QuantileEdges(t, b, bins.lo, bins.hi, options.NM);
  }
  return bins;
}

} // namespace

std::string CheckFitOptions(const TFitOptions &o) {
  if (o.M < 1) {
    return "M must be at least 1 (detect.json \"M\")";
  }
  if (o.NM < 2) {
    return "the bin count per dimension must be at least 2";
  }
  long long bins = 1;
  for (int k = 0; k < o.M; ++k) {
    bins *= o.NM;
    if (bins > kMaxBins) {
      return "NM^M is too large: at most " + std::to_string(kMaxBins) + " histogram bins are supported";
    }
  }
  if (o.PowCount < 1 || o.PowCount > 4) {
    return "the power count must be between 1 and 4";
  }
  if (o.maxWeight < 1 || !(o.smoothing > 0.0) || !(o.tail >= 0.0 && o.tail < 0.5)) {
    return "bad weighting options";
  }
  return {};
}

bool FitModel(const TFeatureSet &target, const TFeatureSet &background, const TFitOptions &options, TTrainModel &model,
              TFitReport &report, std::string &error) {
  error = CheckFitOptions(options);
  if (!error.empty()) {
    return false;
  }
  if (target.dim == 0 || target.dim != background.dim) {
    error = "feature vectors of the two classes differ in length";
    return false;
  }
  if (target.Count() < 2 || background.Count() < 2) {
    error = "too little data: each class needs at least two feature vectors";
    return false;
  }
  for (const TFeatureSet *set : {&target, &background}) {
    if (!std::all_of(set->values.begin(), set->values.end(), [](double v) { return std::isfinite(v); })) {
      error = "feature vectors must be finite";
      return false;
    }
  }

  const std::size_t n = target.dim;
  const auto m = static_cast<std::size_t>(options.M);
  const std::size_t blocks = PowerBlocks(options.PowCount);
  const std::size_t d = n * blocks;
  model = TTrainModel{};
  model.PowCount = options.PowCount;
  model.M = options.M;
  model.NM = options.NM;
  FitNormalisation(target, background, model);

  const TMoments mt = Moments(target, model, blocks);
  const TMoments mb = Moments(background, model, blocks);

  // Whitening against the pooled within-class scatter; directions without scatter (constant features, power
  // terms that repeat another column) are left out instead of being blown up by a tiny eigenvalue.
  TSquare within(d);
  for (std::size_t i = 0; i < d * d; ++i) {
    within.a[i] = 0.5 * (mt.cov.a[i] + mb.cov.a[i]);
  }
  const TSymEigen we = SymmetricEigen(within);
  std::vector<std::vector<double>> whiten; // rows: e_i / sqrt(s_i)
  const double largest = we.values.empty() ? 0.0 : we.values.front();
  for (std::size_t i = 0; i < we.values.size(); ++i) {
    if (we.values[i] > 1e-9 * largest && we.values[i] > 0.0) {
      std::vector<double> row = we.vectors[i];
      for (double &v : row) {
        v /= std::sqrt(we.values[i]);
      }
      whiten.push_back(std::move(row));
    }
  }
  const std::size_t r = whiten.size();
  report = TFitReport{};
  report.rank = r;
  if (r < m) {
    error =
        "the features span only " + std::to_string(r) + " independent directions, fewer than M = " + std::to_string(m);
    return false;
  }

  std::vector<double> diff(d);
  for (std::size_t a = 0; a < d; ++a) {
    diff[a] = mt.mean[a] - mb.mean[a];
  }
  std::vector<double> delta(r);
  for (std::size_t i = 0; i < r; ++i) {
    delta[i] = Dot(whiten[i], diff);
  }
  TSquare st(r); // whitened target scatter
  for (std::size_t i = 0; i < r; ++i) {
    for (std::size_t k = i; k < r; ++k) {
      double acc = 0.0;
      for (std::size_t a = 0; a < d; ++a) {
        double row = 0.0;
        for (std::size_t b = 0; b < d; ++b) {
          row += mt.cov(a, b) * whiten[k][b];
        }
        acc += whiten[i][a] * row;
      }
      st(i, k) = acc;
      st(k, i) = acc;
    }
  }

  // Candidate directions, whitened and orthonormal: Fisher's first, then the rest ranked by the divergence of
  // the two classes' spreads along them.
  std::vector<std::vector<double>> candidates;
  const double dist = std::sqrt(Dot(delta, delta));
  std::vector<double> fisher;
  if (dist > 1e-12) {
    fisher = delta;
    for (double &v : fisher) {
      v /= dist;
    }
    candidates.push_back(fisher);
  }
  {
    // Target scatter on the complement of Fisher's direction; there the background scatter is 2I minus it, so
    // its eigenvectors diagonalise both classes at once and t / (2 - t) is the variance ratio.
    TSquare c = st;
    if (!fisher.empty()) {
      std::vector<double> sf(r, 0.0);
      for (std::size_t i = 0; i < r; ++i) {
        for (std::size_t k = 0; k < r; ++k) {
          sf[i] += st(i, k) * fisher[k];
        }
      }
      const double fsf = Dot(fisher, sf);
      for (std::size_t i = 0; i < r; ++i) {
        for (std::size_t k = 0; k < r; ++k) {
          c(i, k) = st(i, k) - fisher[i] * sf[k] - sf[i] * fisher[k] + fisher[i] * fisher[k] * fsf;
        }
      }
    }
    const TSymEigen ce = SymmetricEigen(c);
    std::size_t skip = ce.vectors.size(); // the eigenvector along Fisher's direction
    if (!fisher.empty()) {
      double best = -1.0;
      for (std::size_t i = 0; i < ce.vectors.size(); ++i) {
        const double along = std::abs(Dot(ce.vectors[i], fisher));
        if (along > best) {
          best = along;
          skip = i;
        }
      }
    }
    std::vector<std::pair<double, std::size_t>> ranked;
    for (std::size_t i = 0; i < ce.vectors.size(); ++i) {
      if (i == skip) {
        continue;
      }
      const double t = std::clamp(ce.values[i], 1e-9, 2.0 - 1e-9);
      const double ratio = t / (2.0 - t);
      ranked.emplace_back(0.5 * (ratio + 1.0 / ratio - 2.0), i);
    }
    // Stable order on ties keeps the fit deterministic.
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto &x, const auto &y) { return x.first > y.first; });
    for (const auto &[divergence, i] : ranked) {
      candidates.push_back(ce.vectors[i]);
    }
  }

  std::vector<double> centre(d);
  for (std::size_t a = 0; a < d; ++a) {
    centre[a] = 0.5 * (mt.mean[a] + mb.mean[a]);
  }
  // The first M candidates: Fisher's direction, then the spread directions of largest divergence.
  candidates.resize(m);

  // Back to the expanded feature space, centred on the mixture mean.
  const auto powers = static_cast<std::size_t>(options.PowCount);
  for (const std::vector<double> &v : candidates) {
    std::vector<double> dir(d, 0.0);
    for (std::size_t i = 0; i < r; ++i) {
      for (std::size_t a = 0; a < d; ++a) {
        dir[a] += v[i] * whiten[i][a];
      }
    }
    // Orient every dimension so that the target lies on its upper side (only cosmetic for spread directions).
    if (Dot(dir, diff) < 0.0) {
      for (double &x : dir) {
        x = -x;
      }
    }
    model.x00.push_back(-Dot(dir, centre));
    if (powers <= 1) {
      model.w.push_back(dir);
    } else {
      std::vector<double> row(n, 0.0); // block 0 multiplies z^0 = 1; x00 already carries the bias
      row.insert(row.end(), dir.begin(), dir.end());
      model.w.push_back(std::move(row));
    }
  }

  const auto yt = ProjectAll(model, target);
  const auto yb = ProjectAll(model, background);
  model.aabb.assign(2 * m, 0.0);
  for (std::size_t k = 0; k < m; ++k) {
    const TDimBins bins = FitDimBins(yt[k], yb[k], options);
    model.aabb[k] = bins.lo;
    model.aabb[m + k] = bins.hi;
    model.mh.insert(model.mh.end(), bins.edges.begin(), bins.edges.end());

    TFitReport::TDirection dr;
    auto meanSd = [](const std::vector<double> &v, double &mean, double &sd) {
      mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
      double acc = 0.0;
      for (double x : v) {
        acc += (x - mean) * (x - mean);
      }
      sd = std::sqrt(acc / static_cast<double>(v.size()));
    };
    meanSd(yt[k], dr.targetMean, dr.targetSd);
    meanSd(yb[k], dr.backgroundMean, dr.backgroundSd);
    dr.separation =
        SymmetricKl(dr.targetMean - dr.backgroundMean, dr.targetSd * dr.targetSd, dr.backgroundSd * dr.backgroundSd);
    report.directions.push_back(dr);
  }

  // Bin counts per class, then the smoothed log-likelihood ratio of every bin the target visits.
  std::map<std::int64_t, std::pair<double, double>> counts;
  std::size_t inBounds[2] = {0, 0};
  std::vector<double> y(m);
  const TFeatureSet *sets[2] = {&target, &background};
  for (int c = 0; c < 2; ++c) {
    const auto &proj = c == 0 ? yt : yb;
    for (std::size_t i = 0; i < sets[c]->Count(); ++i) {
      for (std::size_t k = 0; k < m; ++k) {
        y[k] = proj[k][i];
      }
      const std::int64_t bin = BinIndex(model, y.data(), options.edges);
      if (bin < 0) {
        continue;
      }
      ++inBounds[c];
      auto &slot = counts[bin];
      (c == 0 ? slot.first : slot.second) += 1.0;
    }
  }
  double totalBins = 1.0;
  for (std::size_t k = 0; k < m; ++k) {
    totalBins *= options.NM;
  }
  const auto nt = static_cast<double>(target.Count());
  const auto nb = static_cast<double>(background.Count());
  const double a = options.smoothing;
  std::vector<std::pair<std::int64_t, double>> favoured;
  double best = 0.0;
  for (const auto &[bin, cnt] : counts) {
    if (cnt.first <= 0.0 && !options.signedWeights) {
      continue;
    }
    const double llr =
        std::log((cnt.first + a) / (nt + a * totalBins)) - std::log((cnt.second + a) / (nb + a * totalBins));
    if (llr > 0.0 || options.signedWeights) {
      favoured.emplace_back(bin, llr);
      best = std::max(best, llr);
    }
  }
  std::vector<std::pair<std::int32_t, long>> weights;
  long positive = 0;
  long negative = 0;
  for (const auto &[bin, llr] : favoured) {
    const long weight = std::max<long>(std::lround(options.maxWeight * llr / best), -options.maxWeight);
    if (weight >= 1 || (options.signedWeights && weight <= -1)) {
      weights.emplace_back(static_cast<std::int32_t>(bin), weight);
      (weight > 0 ? positive : negative) += weight;
    }
  }
  // The classifier divides by the weights' sum: keep it at a tenth of the positive sum at least.
  const long floor = positive / 10 + 1;
  if (negative < 0 && positive + negative < floor) {
    const double shrink = static_cast<double>(positive - floor) / static_cast<double>(-negative);
    for (auto &bw : weights) {
      if (bw.second < 0) {
        bw.second = std::min<long>(-1, std::lround(static_cast<double>(bw.second) * shrink));
      }
    }
  }
  for (const auto &[bin, weight] : weights) {
    model.ind.push_back(bin);
    model.pp.push_back(static_cast<std::int32_t>(weight));
  }
  report.occupiedBins = counts.size();
  report.rewardedBins = model.ind.size();
  report.targetInBounds = static_cast<double>(inBounds[0]) / nt;
  report.backgroundInBounds = static_cast<double>(inBounds[1]) / nb;
  if (std::none_of(model.pp.begin(), model.pp.end(), [](std::int32_t p) { return p > 0; })) {
    error = "the target cannot be told from the background: no histogram bin favours it";
    return false;
  }
  for (int c = 0; c < 2; ++c) {
    const auto &proj = c == 0 ? yt : yb;
    double sum = 0.0;
    for (std::size_t i = 0; i < sets[c]->Count(); ++i) {
      for (std::size_t k = 0; k < m; ++k) {
        y[k] = proj[k][i];
      }
      const std::int64_t bin = BinIndex(model, y.data(), options.edges);
      sum += bin < 0 ? 0.0 : BinWeight(model, bin);
    }
    (c == 0 ? report.targetMeanWeight : report.backgroundMeanWeight) = sum / static_cast<double>(sets[c]->Count());
  }
  return true;
}

} // namespace train
