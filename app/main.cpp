// Program entry of ormelin_station and ormelin_station2: parse and print the command line, read both settings
// files, start the array client, open the result server and then the spectrum server with one client each,
// and take the array road (engines) or the road without an array (test message every 200 ms).

#include "app/dir_def_params.h"
#include "app/results_group.h"
#include "app/station_args.h"
#include "app/stop_signal.h"
#include "app/tcp_sender.h"
#include "detection/detect_config.h"
#include "detection/detection_check.h"
#include "detection/dtc_v2/training_res.h"
#include "detection/dtc_v2/variant.h"
#include "dir_def_core/direction_settings.h"
#include "engines/main_union_engine.h"
#include "engines/spectrum_engine.h"
#include "micro4/microphone.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/istreamwrapper.h>
#include <sys/eventfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#ifndef ORMELIN_SETTINGS_DIR
#error "ORMELIN_SETTINGS_DIR must be defined by the build"
#endif
#ifndef ORMELIN_ARRAY_ADDRESS
#error "ORMELIN_ARRAY_ADDRESS must be defined by the build (ormelin_micro4 exports it)"
#endif
#ifndef ORMELIN_VERSION
#define ORMELIN_VERSION "unknown"
#endif
#ifndef ORMELIN_PROGRAM
#define ORMELIN_PROGRAM "ormelin_station"
#endif

namespace {

// Everything the engines would refuse once running, checked before anyone waits for a client: one line per
// problem, none when the settings are usable.
std::vector<std::string> ArraySettingsProblems(const detection::TDetectConfig &detect_config,
                                               const TDirDefParams &dir_def_params, const std::string &settings_dir) {
  std::vector<std::string> problems;
  dtc_v2::TTrainingRes training;
  training.Load(detect_config.js_train_fname, detect_config.IsDynamicNet);
  std::string why = detection::CheckDetectionSetup(detect_config, training, dtc_v2::UseDenseBinWeights(),
                                                   settings_dir + "detect.json", detect_config.js_train_fname);
  if (!why.empty()) {
    problems.push_back(why);
  }
  why = TSpectrumEngine::CheckBand(static_cast<double>(detect_config.F_min), static_cast<double>(detect_config.F_max));
  if (!why.empty()) {
    problems.push_back(why);
  }
  // Autocalibration does no direction finding, so only the hybrid mode needs usable direction settings.
  if (detect_config.border >= 0.0) {
    why = dir_def_core::CheckDirectionSettings(dir_def_params);
    if (!why.empty()) {
      problems.push_back(settings_dir + "dir_def.json: " + why);
    }
  }
  return problems;
}

// "" when `path` opens and holds one JSON object; otherwise why not. The readers themselves fall back to their
// defaults on such a file, which a check must not hide.
std::string JsonFileProblem(const std::string &path) {
  std::ifstream file(path);
  if (!file.is_open()) {
    return path + ": cannot be opened";
  }
  rapidjson::IStreamWrapper raw(file);
  rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::IStreamWrapper> stream(raw);
  rapidjson::Document doc;
  doc.ParseStream(stream);
  if (doc.HasParseError()) {
    return path + ": not valid JSON (" + rapidjson::GetParseError_En(doc.GetParseError()) + " at offset " +
           std::to_string(doc.GetErrorOffset()) + ")";
  }
  if (!doc.IsObject()) {
    return path + ": not a JSON object";
  }
  return "";
}

// ormelin_station --check: the settings read and checked as the array road reads them, no socket opened.
int RunCheck(const std::string &settings_dir) {
  std::vector<std::string> problems;
  for (const char *name : {"detect.json", "dir_def.json"}) {
    if (std::string why = JsonFileProblem(settings_dir + name); !why.empty()) {
      problems.push_back(why);
    }
  }
  detection::TDetectConfig detect_config;
  TDirDefParams dir_def_params;
  detect_config.ReadFromJson(settings_dir + "detect.json");
  dir_def_params.LoadJS(settings_dir + "dir_def.json");
  detect_config.js_train_fname = detection::ResolveTrainingPath(detect_config.js_train_fname, settings_dir);
  std::printf("settings_path = %s\n", settings_dir.c_str());
  std::printf("train_path = %s\n", detect_config.js_train_fname.c_str());
  std::printf("detection: band %d..%d Hz (split %d Hz), NFFT %d, overlap %g, border %.17g (%s)\n",
              static_cast<int>(detect_config.F_min), static_cast<int>(detect_config.F_max),
              static_cast<int>(detect_config.F_mid), static_cast<int>(detect_config.NFFT), detect_config.OverlapFFT,
              detect_config.border, detect_config.border < 0.0 ? "autocalibration" : "alerts");
  std::printf("direction: %g Hz, sound %g m/s, frame %d, band %g..%g Hz, average of %d, pair refinement %s\n",
              dir_def_params.FSampling, dir_def_params.VSound, static_cast<int>(dir_def_params.FrameSize),
              dir_def_params.F_flt_min, dir_def_params.F_flt_max, static_cast<int>(dir_def_params.OutAvgLen),
              dir_def_params.PairRefine ? "on" : "off");
  for (const std::string &p : ArraySettingsProblems(detect_config, dir_def_params, settings_dir)) {
    problems.push_back(p);
  }
  for (const std::string &p : problems) {
    std::printf("problem: %s\n", p.c_str());
  }
  std::printf(problems.empty() ? "settings OK\n" : "settings NOT usable: %zu problem(s)\n", problems.size());
  return problems.empty() ? 0 : 1;
}

// How long a stopping station waits for the array's answers to TEARDOWN: the stop must stay within a second.
constexpr std::chrono::milliseconds kTeardownWait{300};
// No complete block for this long: the array is lost (rebooting, powered off, unplugged, one channel dead).
constexpr std::chrono::seconds kArrayLostAfter{2};
// How often the main thread looks at the array's clock while the engines run. This wait must stay timed: what it
// watches for is the absence of datagrams, which no event announces. Half a second: a lost array is reported 2 to
// 2.5 s after its last block, and the look costs a wake-up (tens of microseconds on a virtual machine) each time.
constexpr std::chrono::milliseconds kSuperviseEvery{500};
// Cadence of the test / no-array message, and the retry backoff's bounds.
constexpr std::chrono::milliseconds kTestMessageEvery{200};
constexpr std::chrono::seconds kFirstRetry{1};
constexpr std::chrono::seconds kLongestRetry{30};
// The operator's status line comes this often.
constexpr std::chrono::seconds kStatusEvery{60};
// A retry that fails again is reported at most this often; the tries in between are counted.
constexpr std::chrono::seconds kRetryReportEvery{30};

// "Tcp-Senders created" has no line end (peers expect it so); the first operator line after it starts a new line.
bool g_line_open = false;

// One operator line on standard output, at once.
void OperatorLine(const std::string &text) {
  std::printf("%s%s\n", g_line_open ? "\n" : "", text.c_str());
  g_line_open = false;
}

// systemd's service watchdog (WatchdogSec= of a Type=notify unit; nothing without one). A feeder thread sends
// WATCHDOG=1 at half the interval while the station is healthy: waiting for its result client, retrying a lost
// array, or with engines that keep making progress (the main thread's supervision marks that). A pipeline that
// hangs while the array streams is therefore restarted; a lost array is not a hang. The feeder's wait must be
// timed: the watchdog is a clock.
class TWatchdog {
public:
  explicit TWatchdog(const TStopSignal &stop) : Stop_(stop) {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) {
      return;
    }
    Done_ = micro4::TUniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!Done_) {
      std::fprintf(stderr, "cannot create the watchdog's event; the service watchdog is not fed\n");
      return;
    }
    Interval_ = std::chrono::microseconds(usec);
    MarkHealthy();
    Feeder_ = std::thread([this] { Feed(); });
  }
  ~TWatchdog() {
    if (Feeder_.joinable()) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(Done_.Get(), &one, sizeof one);
      Feeder_.join();
    }
  }
  TWatchdog(const TWatchdog &) = delete;
  TWatchdog &operator=(const TWatchdog &) = delete;

  // Main thread: the station made progress now.
  void MarkHealthy() {
    LastHealthyNs_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  }
  // Main thread: a state that is never a hang (waiting for the result client) starts or ends.
  void SetAlwaysHealthy(bool on) { AlwaysHealthy_.store(on, std::memory_order_relaxed); }

private:
  void Feed() {
    const int half_ms = std::max(1, static_cast<int>(Interval_.count() / 2000));
    for (;;) {
      const auto last = std::chrono::steady_clock::time_point(
          std::chrono::steady_clock::duration(LastHealthyNs_.load(std::memory_order_relaxed)));
      if (AlwaysHealthy_.load(std::memory_order_relaxed) || std::chrono::steady_clock::now() - last < Interval_) {
        sd_notify(0, "WATCHDOG=1");
      }
      pollfd fds[2] = {{Stop_.Fd(), POLLIN, 0}, {Done_.Get(), POLLIN, 0}};
      if (::poll(fds, 2, half_ms) > 0) {
        if ((fds[0].revents & POLLIN) != 0) {
          sd_notify(0, "STOPPING=1");
        }
        return;
      }
    }
  }

  const TStopSignal &Stop_;
  std::chrono::microseconds Interval_{0};
  std::atomic<std::int64_t> LastHealthyNs_{0}; // steady-clock ticks; main writes, the feeder reads
  std::atomic<bool> AlwaysHealthy_{false};
  micro4::TUniqueFd Done_; // written by the destructor to end the feeder at once
  std::thread Feeder_;
};

// The end of a stop request: the array's sessions torn down, one line, exit status 0. The clients' and the
// servers' sockets close with their owners.
int StopCleanly(micro4::TMicrophone *mic) {
  if (mic != nullptr) {
    mic->Stop();
    mic->Teardown(kTeardownWait);
  }
  OperatorLine("stopped");
  return 0;
}

enum class TRunEnd { Stopped, Failed, Lost };

// The station's life with an array: engines against a connected array, supervision of its datagrams, and the
// retries while there is none. Main thread only; it owns the senders whenever no engine runs.
struct TStationRoad {
  const TStationArgs &Args;
  detection::TDetectConfig &DetectConfig;
  TDirDefParams &DirDefParams;
  const TStopSignal &Stop;
  TTcpSenderSrv *JsonSender = nullptr;
  TTcpSenderSrv *SpectrSender = nullptr;
  TWatchdog *Watchdog = nullptr; // not owned

  std::string ArrayText() const { return Args.ArrayAddress + ":" + std::to_string(Args.ArrayPort); }

  bool SettingsUsable() const {
    const std::vector<std::string> problems = ArraySettingsProblems(DetectConfig, DirDefParams, Args.SettingsDir);
    if (!problems.empty()) {
      std::fprintf(stderr, "%s\n", problems.front().c_str());
    }
    return problems.empty();
  }

  // Sends the test message every 200 ms and re-runs the RTSP set-up with a growing pause (1, 2, 4 .. 30 s)
  // until the array answers (its client, started) or a stop request (null). The set-up runs on a thread of its
  // own so that a slow dialogue does not hold the messages up.
  std::unique_ptr<micro4::TMicrophone> WaitForArray(const char *state) {
    const TResultsGroup message({1.0, 2.0, 3.0, 4.0}, {10.0, 45.0}, -1.0, 5.0);
    const std::string text = message.ConvToJSON_Str();
    using Clock = std::chrono::steady_clock;
    std::chrono::seconds pause = kFirstRetry;
    Clock::time_point next_try = Clock::now() + pause;
    Clock::time_point last_report = Clock::now() - kRetryReportEvery;
    int tries = 0;
    std::unique_ptr<micro4::TMicrophone> candidate;
    std::atomic<bool> answered{false};
    std::atomic<bool> done{false};
    std::thread attempt;
    OperatorLine("array " + ArrayText() + " " + state + ": retrying, clients get the no-array message meanwhile");
    for (;;) {
      Watchdog->MarkHealthy();      // retrying is not a hang
      JsonSender->SendResult(text); // dropped when no client is there; a new client is taken by itself
      if (attempt.joinable() && done.load(std::memory_order_acquire)) {
        attempt.join();
        if (answered.load(std::memory_order_relaxed)) {
          return candidate;
        }
        candidate.reset(); // closes its sockets before the next try binds them again
        if (Clock::now() - last_report >= kRetryReportEvery) {
          OperatorLine("array " + ArrayText() + ": no answer to " + std::to_string(tries) +
                       (tries == 1 ? " try" : " tries") + ", next in " + std::to_string(pause.count()) + " s");
          last_report = Clock::now();
        }
        next_try = Clock::now() + pause;
        pause = std::min(pause * 2, kLongestRetry);
      }
      if (!attempt.joinable() && Clock::now() >= next_try) {
        ++tries;
        done.store(false, std::memory_order_relaxed);
        candidate = std::make_unique<micro4::TMicrophone>(Args.ArrayAddress, Args.ArrayPort);
        candidate->SetQuiet(true);
        attempt = std::thread([&candidate, &answered, &done] {
          answered.store(candidate->Start(), std::memory_order_relaxed);
          done.store(true, std::memory_order_release);
        });
      }
      if (Stop.WaitFor(kTestMessageEvery)) {
        break;
      }
    }
    if (attempt.joinable()) {
      attempt.join(); // bounded by the dialogue's own time-outs
    }
    if (candidate != nullptr) {
      candidate->Stop();
      candidate->Teardown(kTeardownWait);
    }
    return nullptr;
  }

  // Starts fresh engines on `mic` and watches the array until a stop request, an engine failure (`failure`) or
  // the loss of the array; the engines are stopped and joined before it returns.
  TRunEnd RunEngines(micro4::TMicrophone &mic, std::string &failure) {
    TMainUnionEngine union_engine;
    TSpectrumEngine spectrum_engine;
    std::string engine_failure;
    std::atomic<bool> engine_ended{false};
    std::thread watcher; // waits for the union engine, which ends by itself only when it fails
    TRunEnd end = TRunEnd::Stopped;
    try {
      union_engine.Src = &mic;
      union_engine.DetectConfig = &DetectConfig;
      union_engine.DirDefParams = &DirDefParams;
      union_engine.AutocalibrMode = DetectConfig.border < 0.0 ? 1 : 0;
      union_engine.JsonSender = JsonSender;
      union_engine.SpectrSender = SpectrSender;
      union_engine.StartThread();
      watcher = std::thread([&union_engine, &engine_failure, &engine_ended] {
        engine_failure = union_engine.Join();
        engine_ended.store(true, std::memory_order_release);
      });

      spectrum_engine.Channel = 0;
      spectrum_engine.Src = &mic;
      spectrum_engine.FreqLow = static_cast<double>(DetectConfig.F_min);
      spectrum_engine.FreqHigh = static_cast<double>(DetectConfig.F_max);
      spectrum_engine.Reserved1 = 12.0;
      spectrum_engine.Reserved2 = 60.0;
      spectrum_engine.Sender = SpectrSender;
      spectrum_engine.Start();
      auto next_status = std::chrono::steady_clock::now() + kStatusEvery;
      std::uint64_t blocks_seen = 0;
      std::uint64_t records_seen = 0;
      const bool hybrid = union_engine.AutocalibrMode == 0;
      for (;;) {
        if (Stop.WaitFor(kSuperviseEvery)) {
          break;
        }
        // Healthy once both the direction half (hybrid mode) and the message making have moved on since the last
        // mark; either one stuck while the array streams lets the watchdog expire.
        const std::uint64_t blocks = union_engine.BlocksDone();
        const std::uint64_t records = union_engine.RecordsDone();
        if ((!hybrid || blocks != blocks_seen) && records != records_seen) {
          Watchdog->MarkHealthy();
          blocks_seen = blocks;
          records_seen = records;
        }
        if (std::chrono::steady_clock::now() >= next_status) {
          OperatorLine(StatusText(mic));
          next_status += kStatusEvery;
        }
        if (engine_ended.load(std::memory_order_acquire)) {
          end = TRunEnd::Failed;
          break;
        }
        if (mic.SinceLastBlock() >= kArrayLostAfter) {
          OperatorLine(LostText(mic));
          end = TRunEnd::Lost;
          break;
        }
      }
    } catch (const std::exception &e) {
      failure = e.what();
      end = TRunEnd::Failed;
    }
    // The engines first (stopping the source releases every thread waiting for a block).
    union_engine.RequestStop();
    mic.Stop();
    spectrum_engine.Stop();
    if (watcher.joinable()) {
      watcher.join(); // engine_failure is the watcher's until here
    }
    if (end == TRunEnd::Failed && failure.empty()) {
      failure = engine_failure.empty() ? std::string("union engine ended") : engine_failure;
    }
    return end;
  }

  // What an operator reads in the journal once a minute: the array's blocks, what reached the clients.
  std::string StatusText(const micro4::TMicrophone &mic) const {
    return "status: array " + ArrayText() + " streaming, " + std::to_string(mic.PublishedBlocks()) + " blocks, " +
           std::to_string(mic.DroppedGroups()) + " incomplete dropped, " + std::to_string(mic.DroppedDatagrams()) +
           " bad datagrams; " + std::to_string(JsonSender->FramesSent()) + " results and " +
           std::to_string(SpectrSender->FramesSent()) + " spectra sent; clients: results " +
           (JsonSender->HasClient() ? "connected" : "none") + ", spectrum " +
           (SpectrSender->HasClient() ? "connected" : "none");
  }

  // Which way the array went quiet: all channels, or some while the others still deliver.
  std::string LostText(const micro4::TMicrophone &mic) const {
    std::string silent;
    int count = 0;
    for (int c = 1; c <= 4; ++c) {
      if (mic.SinceLastDatagram(c) >= kArrayLostAfter) {
        silent += (count++ == 0 ? "" : ", ") + std::to_string(c);
      }
    }
    const auto secs = std::to_string(kArrayLostAfter.count());
    if (count == 4) {
      return "array " + ArrayText() + " lost: no datagram for " + secs + " s";
    }
    if (count == 0) {
      return "array " + ArrayText() + " lost: datagrams arrive but no complete block for " + secs + " s";
    }
    return "array " + ArrayText() + " lost: channel" + (count > 1 ? "s " : " ") + silent + " silent for " + secs +
           " s while the others flow";
  }
};

} // namespace

int main(int argc, char **argv) {
  // Line-buffered even into a pipe or a service manager's log, so each progress line shows at once.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  // One malloc arena for all threads. They allocate only while they set up (no per-sample allocation), so
  // sharing it costs nothing; with an arena per thread, as glibc gives by default, each array recovery's new
  // threads left their arenas about half a megabyte larger (measured over restarts: +1.6 MB in 4 recoveries,
  // flat with one arena).
  mallopt(M_ARENA_MAX, 1);
  // Large blocks (the receiver's block ring, 2.2 MB) always mapped of their own and unmapped when freed. By
  // default glibc raises its mapping threshold to the size of the first such block freed, so after the first
  // recovery the next session's ring came from the heap and stayed there (+2.2 MB, measured).
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);

  const std::vector<std::string> arg_list(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  const TArgsResult parsed = ParseStationArgs(arg_list, ORMELIN_SETTINGS_DIR, ORMELIN_ARRAY_ADDRESS);
  switch (parsed.Outcome) {
  case TArgsOutcome::Help:
    std::printf("%s\n", StationUsage(ORMELIN_PROGRAM).c_str());
    std::printf("  SETTINGS_DIR/   directory holding detect.json and dir_def.json, with its trailing '/'\n"
                "                  (default %s)\n"
                "  JSON_PORT       TCP port of the result server (default 33377)\n"
                "  SPECTR_PORT     TCP port of the spectrum server (default 33399)\n"
                "  ARRAY_ADDRESS   IPv4 address of the array's RTSP server, optionally :PORT (default %s:554)\n",
                ORMELIN_SETTINGS_DIR, ORMELIN_ARRAY_ADDRESS);
    return 0;
  case TArgsOutcome::Version:
    std::printf("%s %s\n", ORMELIN_PROGRAM, ORMELIN_VERSION);
    return 0;
  case TArgsOutcome::UsageError:
    std::fprintf(stderr, "%s: %s; %s\n", ORMELIN_PROGRAM, parsed.Error.c_str(), StationUsage(ORMELIN_PROGRAM).c_str());
    return 2;
  case TArgsOutcome::Check:
    return RunCheck(parsed.Args.SettingsDir);
  case TArgsOutcome::Run:
    break;
  }
  const TStationArgs &args = parsed.Args;

  std::printf("cmd_args:\n");
  std::printf("settings_path = %s\n", args.SettingsDir.c_str());
  std::printf("json_port = %d\n", args.JsonPort);
  std::printf("spectr_port = %d\n\n", args.SpectrPort);

  detection::TDetectConfig detect_config;
  TDirDefParams dir_def_params;
  // Plain concatenation: the directory carries its own trailing separator.
  detect_config.ReadFromJson(args.SettingsDir + "detect.json");
  dir_def_params.LoadJS(args.SettingsDir + "dir_def.json");
  // A relative training file name is found beside detect.json when the working directory does not hold it.
  detect_config.js_train_fname = detection::ResolveTrainingPath(detect_config.js_train_fname, args.SettingsDir);

  // From here on SIGTERM and SIGINT stop the station cleanly (exit status 0); a second signal ends it at once.
  TStopSignal stop;
  TStationRoad road{args, detect_config, dir_def_params, stop};
  auto mic = std::make_unique<micro4::TMicrophone>(args.ArrayAddress, args.ArrayPort);
  const bool mic_ok = mic->Start();
  std::printf("Microphone connect try %s\n", mic_ok ? "OK" : "FAIL");
  if (mic_ok) {
    // Only the array road uses these settings; a fault there ends the station now rather than after the
    // clients have connected.
    std::printf("train_path = %s\n", detect_config.js_train_fname.c_str());
    if (!road.SettingsUsable()) {
      return 1;
    }
  }

  sockaddr_in client_addr{};
  TTcpSenderSrv json_sender;
  json_sender.SetStopFd(stop.Fd());
  json_sender.InitAsServer(args.JsonPort);
  // Ready for systemd (Type=notify) once the result server listens; waiting for a client is never a hang.
  TWatchdog watchdog(stop);
  road.Watchdog = &watchdog;
  watchdog.SetAlwaysHealthy(true);
  sd_notify(0, "READY=1");
  json_sender.AcceptNewConn(json_sender.ConnSock, client_addr);
  // The spectrum server exists only once the result client is connected.
  TTcpSenderSrv spectr_sender;
  spectr_sender.SetStopFd(stop.Fd());
  if (!stop.Requested()) {
    spectr_sender.InitAsServer(args.SpectrPort);
    spectr_sender.AcceptNewConn(spectr_sender.ConnSock, client_addr);
  }
  if (stop.Requested()) {
    return StopCleanly(mic.get());
  }
  watchdog.SetAlwaysHealthy(false);
  watchdog.MarkHealthy();
  std::printf("Tcp-Senders created");
  std::fflush(stdout); // no line end, so line buffering alone would hold it back
  g_line_open = true;
  road.JsonSender = &json_sender;
  road.SpectrSender = &spectr_sender;

  if (!mic_ok) {
    // The test message keeps coming while the array is retried; once it answers the engines start as if it
    // had answered at once.
    mic.reset();
    mic = road.WaitForArray("no answer");
    if (mic == nullptr) {
      return StopCleanly(nullptr);
    }
    OperatorLine("array " + road.ArrayText() + " answered: starting the engines");
    if (!road.SettingsUsable()) {
      return 1;
    }
  }
  for (;;) {
    std::string failure;
    const TRunEnd end = road.RunEngines(*mic, failure);
    if (end == TRunEnd::Stopped) {
      return StopCleanly(mic.get());
    }
    if (end == TRunEnd::Failed) {
      std::fprintf(stderr, "%s\n", failure.c_str());
      mic->Teardown(kTeardownWait);
      return 1;
    }
    // Lost: its sessions are torn down (an array that only lost one channel keeps no half session), the
    // client hears the no-array message while the array is retried, and fresh engines start from nothing.
    mic->Teardown(kTeardownWait);
    mic.reset();
    // The engines and the receiver's pool are gone; hand their freed pages back to the system now, or a
    // station that recovers many times keeps the high-water mark of every session's heap fragments.
    malloc_trim(0);
    mic = road.WaitForArray("lost");
    if (mic == nullptr) {
      return StopCleanly(nullptr);
    }
    OperatorLine("array " + road.ArrayText() + " is back: detection and direction start afresh");
  }
}
