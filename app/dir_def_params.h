#pragma once
// Direction-finding settings and the array geometry, read once from dir_def.json by main before any engine
// thread starts. The direction definer rewrites `Mics` in place (cm/deg -> m/rad) when it is constructed on
// the union engine thread; nothing else changes the record afterwards.

#include <cstdint>
#include <string>
#include <vector>

struct TSrcMirophoneLocation {
  double L = 0.0;     // distance from the reference point: centimetres in the file, metres after the definer
  double Fi = 0.0;    // azimuth: degrees in the file, radians after the definer
  double Tetta = 0.0; // polar angle from +z: degrees in the file, radians after the definer
};

class TDirDefParams {
public:
  double ColorBrd = 0.0;
  std::string RecOutFolder = "rec_folder";
  std::string OfflinInFolder = "in_offlin_folder";
  std::int32_t CurrActType = 0;
  double FSampling = 37500.0;    // Hz
  double VSound = 100.0;         // m/s
  std::int32_t SM_Disp = 20;     // lag search half-width, samples
  std::int32_t FrameSize = 1024; // samples; the hop is FrameSize / 2
  double FrameOverlapPercent = 50.0;
  double F_flt_min = 4000.0;  // Hz (the filter's pass band starts at half of it)
  double F_flt_max = 20000.0; // Hz (the pass band ends at half of it)
  std::int32_t VinerWnd = 64; // smoothing window, frame sets
  std::int32_t OutAvgLen = 8; // frame sets per reported mean
  bool EnableViner = false;
  bool PairRefine = false; // refine each pair's delay on its own cross-spectrum (key value 1)
  // Frame sets whose solution misfits its own pair delays by more than this many samples of path stay out of
  // the block mean of the azimuth (weighted RMS residual of the locator); 0: every frame set counts.
  double FitGate = 0.0;
  // Half-width, degrees, of the band around the block's circular median azimuth whose frame sets make the block
  // mean; the others are outliers and stay out. 0: the plain mean of the block.
  double RobustAvg = 0.0;
  std::vector<TSrcMirophoneLocation> Mics = std::vector<TSrcMirophoneLocation>(4);

  // Reads `path`. Unopenable file: one message on stderr, every field keeps its value. Absent keys read as
  // zero/false; a key of the wrong type reads as absent; a syntax error leaves the document empty.
  void LoadJS(const std::string &path);
};
