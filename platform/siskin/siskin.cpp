// siskin: a test program that records how it was started. It appends one
// line with its arguments, separated by blanks, to the file that
// TARN_SISKIN_LOG names (else <TARN_ROOT>/var/opt/tarn/log/siskin.log) and
// exits with TARN_SISKIN_EXIT (default 0).
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  std::string path;
  if (const char* log = std::getenv("TARN_SISKIN_LOG"); log != nullptr && *log != '\0') {
    path = log;
  } else {
    const char* root = std::getenv("TARN_ROOT");
    path = std::string(root != nullptr ? root : "") + "/var/opt/tarn/log/siskin.log";
  }
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i > 0 ? " " : "") + std::string(argv[i]);
  if (std::FILE* f = std::fopen(path.c_str(), "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
  const char* code = std::getenv("TARN_SISKIN_EXIT");
  return code != nullptr ? std::atoi(code) : 0;
}
