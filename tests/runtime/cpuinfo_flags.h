// Whether /proc/cpuinfo lists every given flag: read off the kernel's report, not the
// runtime's CPUID detection, so that a detection fault cannot quietly turn a test's
// native half off. False where there is no /proc/cpuinfo.
#pragma once

#include <fstream>
#include <initializer_list>
#include <string>

namespace vexa_test {

inline bool cpuinfo_has(std::initializer_list<const char*> wanted) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("flags", 0) == 0) {
            const std::string flags = line + " ";
            for (const char* f : wanted)
                if (flags.find(std::string(" ") + f + " ") == std::string::npos) return false;
            return true;
        }
    return false;
}

}  // namespace vexa_test
