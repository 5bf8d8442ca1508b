// Language file loading benchmark: TextTable::LoadTexts over files of about 2 MB shaped in
// different ways (line ends, where the section is, one long line). Prints the time per load
// and the speed; loading is linear, so a larger SIZE_MB scales the times in proportion.
//   text_load_bench [SIZE_MB]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "text/text_table.h"

namespace vireo {
namespace {

std::string Utf16Le(const std::string& ascii) {
  std::string bytes;
  bytes.reserve(ascii.size() * 2);
  for (const char c : ascii) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  return bytes;
}

// ASCII text of about `size` UTF-16 bytes: `head`, then lines made by `line(i)` until the size
// is reached, then `tail`.
std::string Shape(std::size_t size, const std::string& head,
                  const std::function<std::string(int)>& line, const std::string& tail) {
  std::string text = head;
  for (int i = 0; text.size() * 2 < size; ++i) {
    text += line(i);
  }
  return text + tail;
}

std::string Section(const std::string& end) {
  std::string text = "[ftext]" + end;
  for (int slot = 0; slot < TextTable::kSlotCount; ++slot) {
    text += std::to_string(slot) + "=text of slot " + std::to_string(slot) + end;
  }
  return text;
}

void Measure(const char* name, const std::string& ascii) {
  const std::string path = "/tmp/vireo-text-load-bench-" + std::to_string(::getpid()) + ".ini";
  std::ofstream(path, std::ios::binary) << Utf16Le(ascii);
  using Clock = std::chrono::steady_clock;
  int loads = 0;
  bool complete = false;
  std::size_t extras = 0;
  const Clock::time_point start = Clock::now();
  Clock::duration spent{};
  // At least three loads and half a second, whichever is longer.
  while (loads < 3 || spent < std::chrono::milliseconds(500)) {
    TextTable table;
    complete = table.LoadTexts(path);
    extras = table.extras.size();
    ++loads;
    spent = Clock::now() - start;
  }
  ::unlink(path.c_str());
  const double seconds = std::chrono::duration<double>(spent).count() / loads;
  const double megabytes = ascii.size() * 2 / 1e6;
  std::printf("%-34s %6.2f MB  %8.2f ms/load  %7.1f MB/s  all 75 slots %-3s  %zu extra texts\n",
              name, megabytes, seconds * 1e3, megabytes / seconds, complete ? "yes" : "no", extras);
}

}  // namespace
}  // namespace vireo

int main(int argc, char** argv) {
  using vireo::Measure;
  using vireo::Section;
  using vireo::Shape;
  const double sizeMb = argc > 1 ? std::atof(argv[1]) : 2.0;
  if (!(sizeMb > 0)) {
    std::fprintf(stderr, "usage: text_load_bench [SIZE_MB]\n");
    return 2;
  }
  const auto size = static_cast<std::size_t>(sizeMb * 1e6);
  const auto extraLine = [](const std::string& end) {
    return [end](int i) { return "key_" + std::to_string(i) + "=an extra text" + end; };
  };
  const auto comment = [](const std::string& end) {
    return [end](int i) { return "; comment line " + std::to_string(i) + end; };
  };
  for (const auto& [label, end] :
       {std::pair<const char*, std::string>{"CR LF", "\r\n"}, {"LF", "\n"}, {"CR", "\r"}}) {
    Measure((std::string(label) + ", [extra] of many keys").c_str(),
            Shape(size, Section(end) + "[extra]" + end, extraLine(end), ""));
    Measure((std::string(label) + ", comments before [ftext]").c_str(),
            Shape(size, "", comment(end), Section(end)));
  }
  Measure("one line without a line end", Shape(
                                             size, "[ftext]", [](int) { return "x"; }, ""));
  return 0;
}
