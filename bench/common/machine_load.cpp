#include "common/machine_load.h"

#include <cstdio>
#include <cstdlib>

namespace bench {

void printLoadAverage(const char* program, const char* when) {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) != 3) return;
    std::printf("%s: load average %s %.2f %.2f %.2f\n", program, when, load[0], load[1], load[2]);
    if (load[0] > kBusyLoad) {
        std::printf("%s: WARNING: load average %.2f is above %.0f: the machine is busy and the figures are not "
                    "reliable\n",
                    program, load[0], kBusyLoad);
    }
    std::fflush(stdout);
}

LoadAverageReport::LoadAverageReport(const char* program) : program_(program) { printLoadAverage(program_, "before"); }

LoadAverageReport::~LoadAverageReport() { printLoadAverage(program_, "after"); }

}  // namespace bench
