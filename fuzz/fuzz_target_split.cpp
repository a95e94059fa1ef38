// The file specification's normalisation and split, and the printed forms,
// on an in-memory machine, for any text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "memory_machine.h"
#include "paths/path_forms.h"
#include "paths/target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorrex;
  std::u16string spec;
  for (size_t i = 0; i + 1 < size; i += 2) {
    spec.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  static testing::MemoryMachine* machine = [] {
    auto* m = new testing::MemoryMachine;
    m->AddFolder(u"C:\\data\\sub");
    m->AddFile(u"C:\\data\\file.txt");
    m->AddVolume(u"\\\\server\\share\\");
    m->AddFolder(u"\\\\server\\share\\dir");
    m->AddVolumeAlias(u"\\\\?\\Volume{abc}\\", u"C:\\");
    m->currentFolder = u"C:\\data";
    return m;
  }();
  const SystemConventions conventions = machine->Conventions();
  const NormalisedSpec normalised =
      NormaliseTarget(*machine, conventions, spec).value_or(NormalisedSpec{spec, false});
  if (const auto target = SplitTarget(*machine, conventions, normalised)) {
    // The scan folder and pattern together hold the target, give or take the
    // long-path prefix and a separator.
    if (target->scanFolder.size() + target->namePattern.size() > normalised.path.size() + 5) {
      std::abort();
    }
  }
  for (auto rule :
       {DisplayRule::kAnyLongPath, DisplayRule::kLongDrivePath, DisplayRule::kQuestionMarkThird}) {
    const std::u16string_view shown = DisplayForm(spec, rule);
    if (shown.size() > spec.size()) std::abort();
  }
  (void)IsUncLike(spec);
  (void)IsBareDevicePath(spec);
  return 0;
}
