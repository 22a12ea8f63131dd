// Writes event log records in a loop, for the tests of concurrent writers.
//   kvevtwriter <source> <count> <size>   writes <count> information records of <source>,
//                                         id 0x40000001, strings: the record's number
//                                         and <size> filler bytes; exit 0 when all went in
#include <cstdlib>
#include <string>

#include "kv/eventlog.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const long count = std::atol(argv[2]);
    const std::string filler(static_cast<size_t>(std::atol(argv[3])), 'f');
    int failures = 0;
    for (long i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        const char* strings[] = {n.c_str(), filler.c_str()};
        kvp::HEventSource src = kvp::RegisterEventSourceA(nullptr, argv[1]);
        if (!src ||
            !kvp::ReportEventA(src, kvp::kEventlogInformationType, 0, 0x40000001, strings, 2))
            ++failures;
        if (src) kvp::DeregisterEventSource(src);
    }
    return failures == 0 ? 0 : 1;
}
