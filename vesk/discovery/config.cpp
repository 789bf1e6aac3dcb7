#include "discovery/config.h"

#include <sstream>
#include <stdexcept>
#include <toml.hpp>

#include "platform/platform.h"

namespace vesk {

bool parseConfiguration(const std::string& text, const std::string& name, std::vector<std::string>& targets) {
    targets.clear();
    try {
        std::istringstream in(text);
        const auto root = toml::parse(in, name);
        const auto& table = toml::find(root, "target_address");
        auto list = toml::find<std::vector<std::string>>(table, "ipv6");
        targets = std::move(list);
        return true;
    } catch (const toml::syntax_error& e) {
        plat::messageBox(e.what(), "toml error");
    } catch (const toml::type_error&) {
    } catch (const std::exception&) {
        // missing table or key (out_of_range), or anything else: no list
    } catch (...) {
    }
    targets.clear();
    return false;
}

bool readConfiguration(const std::string& directory, std::vector<std::string>& targets) {
    targets.clear();
    // The file is read by its full Unicode path, so a library folder whose
    // name has no ANSI spelling still finds its configuration. A missing or
    // unreadable file is the normal case: nothing is shown.
    const std::string path = directory + kConfigFileName;
    std::string text;
    if (!plat::readFile(path, text)) return false;
    return parseConfiguration(text, path, targets);
}

}  // namespace vesk
