#pragma once
// The virtual array's scene: one sound source placed in space around the four microphones of dir_def.json,
// rendered as the four signals the microphones would pick up. Pure synthesis (no sockets, clocks or threads):
// the virtual array program paces and sends what `TScene::Render` produces; the trainer and the accuracy
// benchmark call it directly. Deterministic: the same configuration and seed give the same samples, however
// the rendering is split into calls.
//
// Geometry (the station's convention): microphone m of dir_def.json is reader channel m and sits at
// (L sin T cos F, L sin T sin F, L cos T), L in cm, F (azimuth) and T (polar angle from +z) in degrees.
// The source sits at `distanceM` from the origin at azimuth `azimuthDeg` (in the x-y plane from +x towards +y)
// and polar angle `polarDeg` (from +z); `rotateDegPerS` turns it about the z axis (azimuth grows with time).
// Microphone m hears the emitted signal delayed by (|s - p_m| - |s|) / VSound: times are counted at the
// array's origin, so a source that starts at t = 0 is heard at the origin at t = 0. Fractional delays are
// band-limited (64-tap windowed sinc; error well below 0.001 sample up to 0.4 x FSampling).
//
// Levels (16-bit integer scale): the source is scaled so that its RMS at the array's origin, while present, is
// `levelRms` (with spherical spreading each microphone gets the factor |s| / |s - p_m|). SNR is defined as
// 10 log10(levelRms^2 / sigma^2), sigma being the standard deviation of the independent white Gaussian sensor
// noise of each microphone; it stays defined while the source is absent or silent. The background recording is
// scaled to RMS levelRms / 10^(sbrDb / 20) (over the whole recording) and looped; each microphone plays its own
// stretch of it, so the background has no direction. A four-channel recording (`wav:` source) is
// played as recorded, channel k to reader channel k, without delays or scaling; its measured RMS (over all four
// channels) then stands for levelRms in the SNR and SBR.
//
// Pitch (`pitchFactor`, mono `wav:` sources only): the recording is played that many times faster, every
// frequency multiplied and its length divided by the factor, as a rotor turning that much faster would sound.
// It is done by resampling: the file's rate is taken as rate x factor before it is resampled to FSampling (not
// at all when the two agree), so factor 1 plays exactly what the recording played without one. The background
// recording keeps its pitch.

#include "app/dir_def_params.h"
#include "tools/sim/sinc.h"
#include "tools/sim/sources.h"

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// When the source is present. No intervals: always. Otherwise present inside the intervals [start, end)
// (seconds of scene time), repeated every `periodS` when it is positive. Each presence fades in and out over
// `fadeS` (raised cosine, inside the interval) so that appearing and leaving make no click.
struct TPresence {
  std::vector<std::pair<double, double>> intervals;
  double periodS = 0.0;
  double fadeS = 0.05;

  bool Always() const { return intervals.empty(); }
  // Gain 0..1 of the source at scene time t (seconds; t may be negative: the source has been running before).
  double Gain(double t) const;
};

// "ON:OFF": present ON seconds, absent OFF seconds, repeating from t = 0 (both > 0).
bool ParseSchedule(std::string_view text, TPresence &out, std::string &error);
// "START-END,START-END,...": present in each interval (seconds, START < END, ascending, not overlapping);
// END may be left out in the last interval ("30-") for "until the end".
bool ParsePresentList(std::string_view text, TPresence &out, std::string &error);

struct TSceneConfig {
  TSourceSpec source;
  double azimuthDeg = 0.0;    // degrees, x-y plane from +x towards +y
  double polarDeg = 90.0;     // degrees from +z, 0 .. 180
  double distanceM = 10.0;    // metres from the array's origin, > 0
  double rotateDegPerS = 0.0; // azimuth change per second of scene time
  double snrDb = 30.0;        // sensor noise (definition above); +infinity: no sensor noise
  std::uint64_t seed = 1;
  std::string backgroundPath; // empty: no background; multichannel files are mixed down to mono
  double sbrDb = 10.0;        // source-to-background ratio, dB
  TPresence presence;
  double levelRms = 3000.0; // source RMS at the origin, 16-bit integer scale
  bool sphericalSpreading = true;
  double pitchFactor = 1.0; // mono wav: source played this many times faster, 0.5 .. 2 (see above)
};

// Checks a configuration against the geometry; returns an empty string when it is usable, else one line.
// Does not open files (the TScene constructor reports unreadable recordings).
std::string CheckSceneConfig(const TSceneConfig &config, const TDirDefParams &geometryInCmDeg);

// Microphone positions in metres from dir_def.json's cm/degree record (reader channel order).
std::array<std::array<double, 3>, 4> MicrophonePositionsM(const TDirDefParams &geometryInCmDeg);

// Not thread-safe: one owner (the sender thread, the trainer, a benchmark) calls Render in order.
class TScene {
public:
  // Reads the geometry, FSampling and VSound (the record is not modified) and any recording the
  // configuration names. Throws std::invalid_argument with one line (the text of CheckSceneConfig, "cannot
  // open FILE: ...", "FILE has 2 channels: ...") when the scene cannot be built.
  TScene(const TSceneConfig &config, const TDirDefParams &geometryInCmDeg);
  ~TScene();
  TScene(const TScene &) = delete;
  TScene &operator=(const TScene &) = delete;
  TScene(TScene &&) noexcept;
  TScene &operator=(TScene &&) noexcept;

  // Renders the next n samples of each reader channel (out[k] resized to n; no allocation once the vectors
  // have the capacity), in 16-bit integer scale, not rounded or clipped (see ToInt16).
  void Render(std::size_t n, std::array<std::vector<double>, 4> &out);

  double SampleRateHz() const;
  std::int64_t SamplesRendered() const; // samples per channel rendered so far; scene time = this / rate
  // Ground truth at the current scene time (the next sample to render): source azimuth in degrees
  // (wrapped to [0, 360)), and the delay of reader channel k relative to the origin, in samples (positive:
  // later than at the origin).
  double SourceAzimuthDeg() const;
  double DelaySamples(int readerChannel) const;
  // Sensor noise standard deviation per microphone (0 without noise), 16-bit integer scale.
  double NoiseSigma() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

// Rounds to nearest (halves away from zero) and clips to -32768 .. 32767; NaN gives 0.
std::int16_t ToInt16(double v);

} // namespace sim
