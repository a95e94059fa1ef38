// The path of the built program, as Windows names it.
#pragma once

#include <string>

#include "platform/win32/windows_headers.h"

namespace quorrex {

// The build names the program by its build-tree path; a cross build under
// Wine gives a Unix path, which Wine turns into its drive form.
inline std::u16string ProgramPath(const std::string& narrow = QUORREX_PROGRAM) {
  using DosNameFn = wchar_t*(CDECL*)(const char*);
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  const auto dosName = reinterpret_cast<DosNameFn>(
      reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "wine_get_dos_file_name")));
  if (!narrow.empty() && narrow.front() == '/' && dosName != nullptr) {
    if (wchar_t* converted = dosName(narrow.c_str())) {
      std::u16string result(reinterpret_cast<const char16_t*>(converted));
      ::HeapFree(::GetProcessHeap(), 0, converted);
      return result;
    }
  }
  std::u16string wide;
  for (const char c : narrow) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
  for (char16_t& c : wide) {
    if (c == u'/') c = u'\\';
  }
  return wide;
}

// Whether the tests run under Wine rather than on Windows itself.
inline bool RunningUnderWine() {
  return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace quorrex
