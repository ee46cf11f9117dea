// kolup-record's entry on Linux: arguments are taken as the bytes they are, never re-encoded
// through a locale, so an address reaches the record exactly as given.

#include "tools/kolup-record.h"

#include <vector>

int main(int argc, char *argv[])
{
    const std::vector<Argument> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return runKolupRecord(args);
}
