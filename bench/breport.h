// The report's results and the helpers its tables share (breport.cpp), for the part of the
// report written elsewhere (bfresh.cpp).
#ifndef BREPORT_H
#define BREPORT_H

#include <stdio.h>

#include <map>
#include <string>

namespace zrbench {
namespace report {

struct Result {
    double seconds = 0;  // real time per iteration
    double cpuSeconds = 0;
    std::map<std::string, double> counters;
    bool ok = false;
};

// The result of a benchmark that ran without an error; null when none.
const Result* Find(const std::string& name);
std::string Fmt(const char* f, double v);
std::string Ms(double s);
std::string Ratio(double a, double b);
// A counter of a load round's result ("zrregdll/warm/wall"), or a negative number.
double Rc(int mb, const std::string& key);
// The speed of the file of every type over the plain file's, by CPU time or wall clock.
double TypesRatio(const char* clock);
// Whether the host still backed a fresh process's memory, from its first-touch cost.
const char* Backing(double msPerMb);
std::string Time(const std::string& name);
// A table's head: the fixed columns ("call", or "call | siblings"), then a column per value
// of `values`, headed "<label> <value>".
template <size_t N>
void TableHead(FILE* md, const char* fixed, int fixedColumns, const char* label, const int (&values)[N]) {
    fprintf(md, "| %s |", fixed);
    for (int v : values) fprintf(md, " %s %d |", label, v);
    fprintf(md, "\n|");
    for (size_t i = 0; i < static_cast<size_t>(fixedColumns) + N; ++i) fprintf(md, "---|");
    fprintf(md, "\n");
}

// The tables of calls and changes at scale, and of the change log (bscale.cpp).
void WriteScaleTables(FILE* md);
void WriteLogTables(FILE* md);
extern const char* const kPeerLabels[6];
extern const double kBackedMsPerMb, kUnbackedMsPerMb;

}  // namespace report
}  // namespace zrbench

#endif
