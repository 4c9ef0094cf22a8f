// What listing a large library costs: 100,000 names in 1,000 folders, then
// every seventh again (duplicates, dropped), through the list's index.
//
//   filelist_bench [FILES]   (default 100000; build with the release preset)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "scan/filelist.h"

int main(int argc, char** argv) {
  const uint32_t files = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 100000;
  auto name = [](uint32_t i) {
    return "/nowhere/album" + std::to_string(i % 1000) + "/t" + std::to_string(i) + ".vlk";
  };
  velkscan::FileList list;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < files; ++i) list.AddFile(name(i));
  uint32_t repeats = 0;
  for (uint32_t i = 0; i < files; i += 7, ++repeats) list.AddFile(name(i));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (list.count() != files) {
    std::fprintf(stderr, "listed %u of %u files\n", list.count(), files);
    return 1;
  }
  std::printf("listed %u files and dropped %u duplicates in %.3f s (%.0f ns a name)\n", files, repeats,
              seconds, 1e9 * seconds / (files + repeats));
  return 0;
}
