// libFuzzer target: kolup-record's command line, arguments split at NUL bytes. Only what the
// line asks is judged; nothing is read, written or fetched.
#include "tools/commandline.h"
#include "update/setupname.h"

#include <chrono>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<Argument> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back() += char(data[i]);
        }
    }
    using namespace std::chrono;
    const command::Request request = command::parse(args, sys_days{2026y / December / 8});
    if (const auto *refusal = std::get_if<command::Refusal>(&request);
        refusal && refusal->status != command::Usage && refusal->status != command::Problem) {
        __builtin_trap();
    }
    if (const auto *make = std::get_if<command::Make>(&request); make && make->size) {
        const auto made = command::record(make->version, make->url, *make->size);
        if (made && !recordProblems(*made).empty()) {
            __builtin_trap(); // the tool never writes a record the updater refuses
        }
    }
    return 0;
}
