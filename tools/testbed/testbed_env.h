// What the test bed tells the command it runs, read from the environment
// (tools/testbed/testbed.sh sets it). Header-only and portable: Windows test
// programs under Wine see the same variables. Tests call Env::get() and skip
// with Env::get().why when inBed is false.
#ifndef VESK_TESTBED_ENV_H
#define VESK_TESTBED_ENV_H

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vesk::testbed {

struct BoardInBed {
    std::string name;         // from the simulator's configuration (may be empty under Wine)
    std::string address;      // the board's link-local address text
    std::string hostLink;     // host interface ("vh0")
    std::string hostAddress;  // the host's link-local address on that link
};

struct Env {
    bool inBed = false;
    std::string why;                      // why not, when inBed is false
    std::vector<std::string> links;       // host links, "vh0" ...
    std::vector<std::string> hosts;       // host link-local addresses, same order
    std::vector<BoardInBed> boards;       // in configuration order
    std::string config, record, dumpDir;  // paths on the Linux side
    long simPid = 0;                      // takes SIGUSR1: dump the boards' state now

    static const Env& get() {
        static const Env env = read();
        return env;
    }

    const BoardInBed* board(const std::string& name) const {
        for (const auto& b : boards)
            if (b.name == name) return &b;
        return nullptr;
    }

private:
    static std::string var(const char* name) {
        const char* v = std::getenv(name);
        return v ? v : "";
    }
    static std::vector<std::string> words(const std::string& s) {
        std::istringstream in(s);
        std::vector<std::string> out;
        for (std::string w; in >> w;) out.push_back(w);
        return out;
    }
    static Env read() {
        Env e;
        e.links = words(var("VESK_TESTBED_LINKS"));
        e.hosts = words(var("VESK_TESTBED_HOSTS"));
        std::vector<std::string> addrs = words(var("VESK_TESTBED_BOARD_ADDRS"));
        std::vector<std::string> blinks = words(var("VESK_TESTBED_BOARD_LINKS"));
        if (e.links.empty() || e.links.size() != e.hosts.size() || addrs.empty() || addrs.size() != blinks.size()) {
            e.why = "not inside the test bed (run through tools/testbed/testbed.sh)";
            return e;
        }
        // Names come from the board file ("<host link> <address> <name>").
        std::vector<std::string> names(addrs.size());
        std::ifstream file(var("VESK_TESTBED_BOARDS"));
        std::string line;
        for (std::size_t i = 0; i < names.size() && std::getline(file, line); ++i) {
            std::size_t a = line.find(' '), b = a == std::string::npos ? a : line.find(' ', a + 1);
            if (b != std::string::npos) names[i] = line.substr(b + 1);
        }
        for (std::size_t i = 0; i < addrs.size(); ++i) {
            BoardInBed b{names[i], addrs[i], blinks[i], ""};
            for (std::size_t k = 0; k < e.links.size(); ++k)
                if (e.links[k] == b.hostLink) b.hostAddress = e.hosts[k];
            e.boards.push_back(b);
        }
        e.config = var("VESK_SIM_CONFIG");
        e.record = var("VESK_SIM_RECORD");
        e.dumpDir = var("VESK_SIM_DUMP_DIR");
        e.simPid = std::atol(var("VESK_SIM_PID").c_str());
        e.inBed = true;
        return e;
    }
};

}  // namespace vesk::testbed

#endif  // VESK_TESTBED_ENV_H
