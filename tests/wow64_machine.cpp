#include "wow64_machine.h"

#include <map>

#include "machine_paths.h"
#include "paths/path_forms.h"

namespace quorrex::testing {
namespace {

// How deep each machine's redirection brackets are on this thread.
thread_local std::map<const Wow64Machine*, int> redirectionOffDepth;

constexpr char16_t kSystem32[] = u"C:\\Windows\\System32";
constexpr char16_t kSysWow64[] = u"C:\\Windows\\SysWOW64";
constexpr char16_t kSysnative[] = u"C:\\Windows\\Sysnative";

}  // namespace

void Wow64Machine::BeginFileSystemWork() {
  MemoryMachine::BeginFileSystemWork();
  ++redirectionOffDepth[this];
}

void Wow64Machine::EndFileSystemWork() {
  MemoryMachine::EndFileSystemWork();
  const auto depth = redirectionOffDepth.find(this);
  if (depth != redirectionOffDepth.end() && --depth->second <= 0) redirectionOffDepth.erase(depth);
}

bool Wow64Machine::RedirectionOff() const {
  return redirectionOffDepth.contains(this);
}

FolderAlias Wow64Machine::NativeSystemFolderAlias() {
  if (!RedirectionOff()) return {};
  return FolderAlias{kSysnative, kSystem32};
}

std::u16string Wow64Machine::Redirected(const std::u16string& path) const {
  if (RedirectionOff()) return path;
  std::u16string c = Canonical(path);
  if (!ReplaceLeadingFolder(c, kSystem32, kSysWow64))
    ReplaceLeadingFolder(c, kSysnative, kSystem32);
  return c;
}

}  // namespace quorrex::testing
