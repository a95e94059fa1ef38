// The program's entry: the system platform, the arguments, one run.
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/system.h"
#include "run/run_program.h"
#include "scan/walker.h"
#include "support/memory.h"
#include "support/utf.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) {
    const auto* text = reinterpret_cast<const char16_t*>(argv[i]);
    args.emplace_back(text);
  }
#else
int main(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) args.push_back(quorrex::DecodeUtf8Lossless(argv[i]));
#endif
  auto platform = quorrex::CreateSystemPlatform();
  quorrex::InstallAllocationFailure(*platform);
  // The run's records and the platform live until the process ends: the
  // control-event thread may still call into them while the process exits.
  auto* run = new quorrex::Run(*platform);
  const char* workers = std::getenv("QUORREX_WORKERS");
  bool workersKnown = true;
  run->settings.walkWorkers = quorrex::WalkWorkersSetting(workers, workersKnown);
  if (!workersKnown) run->unknownWorkers = workers;
  const char* format = std::getenv("QUORREX_FORMAT");
  bool known = true;
  run->UseFormat(quorrex::OutputFormatSetting(format, known));
  if (!known) run->unknownFormat = format;
  const int code = quorrex::RunProgram(*run, args);
  (void)platform.release();
  return code;
}
