#pragma once
// The sounds the virtual array can place in its scene, as seen from the command line (`TSourceSpec`, parsed
// from "drone", "tone:HZ", ...) and as generators of the emitted signal at the array's sampling rate.
// Every generator yields a signal of unit RMS (nominally, over a few seconds); the scene scales it to its
// level. Generators are pure and single-threaded: the owner calls Generate in order.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class ESourceKind { Drone, Tone, Noise, Silence, Wav };

struct TSourceSpec {
  ESourceKind kind = ESourceKind::Drone;
  double toneHz = 1000.0;  // Tone: frequency, Hz
  double noiseLowHz = 0.0; // Noise: pass band, Hz; both 0 = white noise
  double noiseHighHz = 0.0;
  std::string wavPath;           // Wav: the recording (mono: placed at the source; four channels: as recorded)
  double rotorSpeedFactor = 1.0; // Drone: scales every rotor's speed (and so every tonal frequency)
};

// A whole text as one finite decimal number ("12", "-3.5", "1e3"); false for anything else.
bool ParseDouble(std::string_view text, double &value);

// Accepted texts: "drone", "drone:FACTOR", "tone:HZ", "noise", "noise:LO-HI" (Hz), "silence", "wav:FILE".
// Checks syntax and signs only; the scene checks values against its sampling rate.
bool ParseSourceSpec(std::string_view text, TSourceSpec &out, std::string &error);
std::string DescribeSource(const TSourceSpec &source);

// One source's emitted signal, sample after sample.
class TSourceGen {
public:
  virtual ~TSourceGen() = default;
  virtual void Generate(double *out, std::size_t n) = 0;
};

// Synthetic multirotor: four rotors, each with its own slowly wandering speed (about 85-115 rev/s times
// `speedFactor`), two blades, blade-pass harmonics shaped to put most tonal energy in 2-10 kHz, amplitude
// modulation once per revolution and slowly, and broadband noise 20 dB below the tones. Every random choice
// comes from `seed`.
std::unique_ptr<TSourceGen> MakeDroneSource(double sampleRateHz, double speedFactor, std::uint64_t seed);
std::unique_ptr<TSourceGen> MakeToneSource(double sampleRateHz, double frequencyHz);
// White Gaussian noise, or noise band-limited to [lowHz, highHz] by a linear-phase FIR when highHz > 0.
std::unique_ptr<TSourceGen> MakeNoiseSource(double sampleRateHz, double lowHz, double highHz, std::uint64_t seed);
std::unique_ptr<TSourceGen> MakeSilenceSource();
// Plays `samples` (already at the array's rate) in a loop, scaled to unit RMS; all-zero input stays zero.
std::unique_ptr<TSourceGen> MakeLoopSource(std::vector<double> samples);

// Windowed-sinc band-pass FIR (lowHz may be 0 for a low-pass), Kaiser window, odd length `taps`.
std::vector<double> DesignBandPass(double sampleRateHz, double lowHz, double highHz, int taps);

} // namespace sim
