// dir_def.json as the station reads it at start-up: TDirDefParams::LoadJS, then the direction settings
// check main runs before the stream definer is built.

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/dir_def_params.h"
#include "dir_def_core/direction_settings.h"
#include "tests/fuzz/fuzz_input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const std::string path = ormelin_fuzz::InputFilePath("dir_def.json");
  ormelin_fuzz::WriteInputFile(path, data, size);
  TDirDefParams params;
  params.LoadJS(path);
  (void)dir_def_core::CheckDirectionSettings(params);
  return 0;
}
