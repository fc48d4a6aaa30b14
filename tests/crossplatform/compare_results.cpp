// Compares every platform's results on the fixed inputs with the Linux
// x86-64 build's:  compare_results DIR REFERENCE PLATFORM...
// Every module must give identical bits on every platform: the modules use
// the project's own exp and log, not the platform's. Where doubles differ,
// the largest difference in units in the last place is reported.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Row {
    std::string module;
    int cls = 0;
    std::vector<unsigned long long> bits;
};

std::vector<Row> load(const std::string &path)
{
    std::ifstream in(path);
    std::vector<Row> rows;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        Row r;
        std::size_t n = 0;
        s >> r.module >> r.cls >> n;
        r.bits.resize(n);
        for (auto &b : r.bits)
            s >> std::hex >> b;
        rows.push_back(r);
    }
    return rows;
}

// Distance in representable doubles; a NaN must have the other's bits (every
// module writes one NaN), or the distance is huge.
std::uint64_t ulps(unsigned long long a, unsigned long long b)
{
    double x, y;
    std::memcpy(&x, &a, 8);
    std::memcpy(&y, &b, 8);
    if (std::isnan(x) || std::isnan(y))
        return a == b ? 0 : UINT64_MAX;
    auto ordered = [](unsigned long long u) {
        return (u >> 63) ? -static_cast<long long>(u & 0x7fffffffffffffffULL) : static_cast<long long>(u);
    };
    const long long d = ordered(a) - ordered(b);
    return static_cast<std::uint64_t>(d < 0 ? -d : d);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::cerr << "usage: compare_results DIR REFERENCE PLATFORM...\n";
        return 2;
    }
    const std::string dir = argv[1];
    const std::vector<Row> ref = load(dir + "/" + argv[2] + ".txt");
    if (ref.empty()) {
        std::cerr << "no reference results in " << dir << "/" << argv[2] << ".txt\n";
        return 1;
    }
    bool ok = true;
    std::printf("%-12s %-12s %s\n", "platform", "module", "largest difference from the reference");
    for (int p = 3; p < argc; ++p) {
        // A platform whose runner could not start on this machine leaves
        // its reason beside the results it would have written; any other
        // platform without results has lost them.
        const std::string name = argv[p];
        const std::vector<Row> rows = load(dir + "/" + name + ".txt");
        if (rows.empty()) {
            std::ifstream skipped(dir + "/" + name + ".skipped");
            std::string reason;
            if (std::getline(skipped, reason)) {
                std::printf("%-12s not run on this machine: %s\n", name.c_str(), reason.c_str());
            } else {
                std::printf("%-12s built, but wrote no results  FAIL\n", name.c_str());
                ok = false;
            }
            continue;
        }
        if (rows.size() != ref.size()) {
            std::printf("%-12s results missing or incomplete\n", name.c_str());
            ok = false;
            continue;
        }
        std::map<std::string, std::uint64_t> worst;
        std::vector<std::string> order;
        for (std::size_t k = 0; k < ref.size(); ++k) {
            const Row &a = ref[k], &b = rows[k];
            if (!worst.count(a.module))
                order.push_back(a.module);
            std::uint64_t &w = worst[a.module];
            if (a.module != b.module || a.cls != b.cls || a.bits.size() != b.bits.size()) {
                w = UINT64_MAX;
                continue;
            }
            for (std::size_t e = 0; e < a.bits.size(); ++e) {
                const std::uint64_t d = a.cls == 6 ? ulps(a.bits[e], b.bits[e]) : (a.bits[e] == b.bits[e] ? 0 : UINT64_MAX);
                if (d > w)
                    w = d;
            }
        }
        for (const std::string &m : order) {
            const std::uint64_t w = worst[m];
            const bool pass = w == 0;
            ok = ok && pass;
            if (w == 0)
                std::printf("%-12s %-12s identical%s\n", name.c_str(), m.c_str(), pass ? "" : "  FAIL");
            else if (w == UINT64_MAX)
                std::printf("%-12s %-12s differs (not a rounding difference)  FAIL\n", name.c_str(), m.c_str());
            else
                std::printf("%-12s %-12s %llu ulps%s\n", name.c_str(), m.c_str(), static_cast<unsigned long long>(w),
                            pass ? "" : "  FAIL");
        }
    }
    std::printf("%s\n", ok ? "all platforms agree" : "platforms disagree");
    return ok ? 0 : 1;
}
