// Runs a profile script (see profile_script.h) through the portable INI
// store, printing what profile_ops.exe prints for the real functions.
//   ini_script SCRIPT INIFILE
#include <cstdio>
#include <string>

#include "support/ini_store.h"
#include "wine/profile_script.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: ini_script SCRIPT INIFILE\n");
    return 2;
  }
  std::string script;
  if (!profile_script::ReadWholeFile(argv[1], &script)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  IniStore store(argv[2]);
  std::string output;
  const bool ok = profile_script::Run(
      script,
      [&store](const char* section, const char* key, const char* def, char* buffer,
               std::size_t max) { return store.Read(section, key, def, buffer, max); },
      [&store](const char* section, const char* key, const char* value) {
        store.Write(section, key, value);
      },
      &output);
  std::fwrite(output.data(), 1, output.size(), stdout);
  return ok ? 0 : 1;
}
