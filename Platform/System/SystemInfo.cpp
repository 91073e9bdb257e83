#include "Platform/System/SystemInfo.hpp"

#include <sched.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

namespace platform {

namespace {

std::string trim(std::string text) {
  const auto begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  const auto end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

std::string readFirstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  return trim(line);
}

struct CpuInfo {
  std::string processor, vendor, family, flags;
  int logical = 0;
  std::set<std::pair<std::string, std::string>> physicalCores;
};

CpuInfo readCpuInfo() {
  CpuInfo info;
  std::ifstream in("/proc/cpuinfo");
  std::string line, physicalId;
  while (std::getline(in, line)) {
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = trim(line.substr(0, colon));
    const std::string value = trim(line.substr(colon + 1));
    if (key == "processor") ++info.logical;
    else if (key == "model name" && info.processor.empty()) info.processor = value;
    else if (key == "vendor_id" && info.vendor.empty()) info.vendor = value;
    else if (key == "cpu family" && info.family.empty()) info.family = value;
    else if (key == "flags" && info.flags.empty()) info.flags = " " + value + " ";
    else if (key == "physical id") physicalId = value;
    else if (key == "core id") info.physicalCores.insert({physicalId, value});
  }
  return info;
}

const CpuInfo& cpuInfo() {
  static const CpuInfo info = readCpuInfo();
  return info;
}

uint64_t statusField(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(name) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) {
      std::istringstream fields(line.substr(prefix.size()));
      uint64_t kilobytes = 0;
      fields >> kilobytes;
      return kilobytes * 1024;
    }
  }
  return 0;
}

}  // namespace

const SystemInfo& SystemInfo::current() {
  static const SystemInfo info = [] {
    const CpuInfo& cpu = cpuInfo();
    SystemInfo result;
    result.hwModel = readFirstLine("/sys/class/dmi/id/product_name");
    result.processor = cpu.processor;
    result.vendor = cpu.vendor;
    result.family = cpu.family;
    if (cpu.logical > 0) result.threads = std::to_string(cpu.logical);
    if (!cpu.physicalCores.empty()) result.cores = std::to_string(cpu.physicalCores.size());
    return result;
  }();
  return info;
}

int activeProcessorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return count;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

uint64_t residentMemoryBytes() { return statusField("VmRSS"); }

uint64_t peakResidentMemoryBytes() { return statusField("VmHWM"); }

bool cpuHasFlag(const std::string& flag) {
  return cpuInfo().flags.find(" " + flag + " ") != std::string::npos;
}

}  // namespace platform
