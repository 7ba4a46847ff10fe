// Runs a profile script (see profile_script.h) through the real
// GetPrivateProfileStringA / WritePrivateProfileStringA on one file.
//   profile_ops SCRIPT INIFILE
#include <windows.h>

#include <cstdio>
#include <string>

#include "wine/profile_script.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: profile_ops SCRIPT INIFILE\n");
    return 2;
  }
  std::string script;
  if (!profile_script::ReadWholeFile(argv[1], &script)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  const char* file = argv[2];
  std::string output;
  const bool ok = profile_script::Run(
      script,
      [file](const char* section, const char* key, const char* def, char* buffer,
             std::size_t max) -> std::size_t {
        return GetPrivateProfileStringA(section, key, def, buffer, static_cast<DWORD>(max), file);
      },
      [file](const char* section, const char* key, const char* value) {
        WritePrivateProfileStringA(section, key, value, file);
      },
      &output);
  std::fwrite(output.data(), 1, output.size(), stdout);
  return ok ? 0 : 1;
}
