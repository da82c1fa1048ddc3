#pragma once

#include <QtGlobal>

// This process's resident memory as the kernel counts it (/proc/self/status), in KiB.
namespace ProcessMemory {

qint64 residentKiB(); // VmRSS
qint64 peakResidentKiB(); // VmHWM
// Starts the peak over from the current resident size (/proc/self/clear_refs); false when the
// kernel refused, and the peak then still covers everything since the process started.
bool resetPeak();

}
