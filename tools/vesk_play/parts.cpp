#include "parts.h"

#include <cstdio>

#include "chips/chip_models.h"

namespace vesk::play {

namespace {

// Models able to play a chip family, preferred first, with the clock factor,
// from the catalogue: the family's models (the one the log marks first),
// then those that stand in for the family.
struct Candidate {
    const char* name;
    std::uint32_t clockFactor;
};
std::vector<Candidate> candidates(const vgm::ChipHeader& h) {
    const bool variant = h.chip == Chip::AY8910 ? h.ayType >= vgm::kAyTypeYM2149 : h.variant;
    std::vector<Candidate> out;
    for (const vesk::catalogue::ModelRow& m : vesk::catalogue::kModels)
        if (m.family == h.chip && m.variant == variant) out.push_back({m.name, 1});
    for (const vesk::catalogue::ModelRow& m : vesk::catalogue::kModels)
        if (m.family == h.chip && m.variant != variant) out.push_back({m.name, 1});
    for (const vesk::catalogue::ModelRow& m : vesk::catalogue::kModels)
        if (m.replaces == h.chip) out.push_back({m.name, m.factor});
    return out;
}

}  // namespace

std::vector<Part> mapParts(const vgm::Song& song, const Boards& found, const std::string& onlyBoard,
                           std::vector<std::string>& notes) {
    std::vector<Part> parts;
    std::vector<bool> taken(found.chips.size(), false);
    for (const vgm::ChipHeader& h : song.chips) {
        for (int instance = 0; instance < h.instances; ++instance) {
            Part part;
            part.chip = h.chip;
            part.instance = instance;
            part.songClock = h.clock;
            const std::vector<Candidate> names = candidates(h);
            for (int pass = 0; pass < 2 && part.record < 0; ++pass) {
                for (std::size_t n = 0; n < names.size() && part.record < 0; ++n) {
                    const std::uint32_t want = h.clock * names[n].clockFactor;
                    for (std::size_t i = 0; i < found.chips.size(); ++i) {
                        const VeskChipInfo& c = found.chips[i];
                        if (taken[i] || text(c.name) != names[n].name) continue;
                        if (!onlyBoard.empty() && text(c.address) != onlyBoard) continue;
                        const bool fits = c.clock == want || c.variableClock;
                        if (pass == 0 && !fits) continue;
                        part.record = static_cast<int>(i);
                        part.model = names[n].name;
                        part.compatible = n > 0;
                        part.ownClock = !fits;
                        part.clock = fits ? want : c.clock;
                        const VeskBoardInfo* b = found.board(text(c.address));
                        part.waitMs = b ? b->waitMs : 0;
                        part.boardName = b ? text(b->name) : "";
                        taken[i] = true;
                        break;
                    }
                }
            }
            std::string label = std::string(vgm::chipName(h.chip)) + (instance ? " #2" : "");
            if (part.record < 0) {
                notes.push_back(label + ": no chip for it on the boards; this part is silent");
            } else {
                if (part.compatible) notes.push_back(label + ": plays on a " + part.model + " (compatible model)");
                if (part.ownClock)
                    notes.push_back(label + ": the " + part.model + "'s clock cannot change; it plays at its own " +
                                    std::to_string(part.clock) + " Hz instead of " + std::to_string(h.clock) + " Hz");
                if (h.chip == Chip::YM2610 && h.variant && part.model == "YM2610+H")
                    notes.push_back(label + ": a YM2610 has no FM channels 1 and 4 of the YM2610B; they are silent");
            }
            parts.push_back(part);
        }
    }
    return parts;
}


void showHeader(const vgm::Song& song, const std::vector<Part>& parts, const Boards& found) {
    if (!song.title.empty()) std::printf("  title:  %s\n", song.title.c_str());
    if (!song.game.empty()) std::printf("  game:   %s\n", song.game.c_str());
    if (!song.author.empty()) std::printf("  author: %s\n", song.author.c_str());
    for (const Part& p : parts) {
        std::string label = std::string(vgm::chipName(p.chip)) + (p.instance ? " #2" : "");
        if (p.record < 0) {
            std::printf("  %-11s %u Hz -> (silent)\n", label.c_str(), p.songClock);
            continue;
        }
        const VeskChipInfo& c = found.chips[static_cast<std::size_t>(p.record)];
        std::printf("  %-11s %u Hz -> %s at %u Hz, board %s [%s] slot %u, wait %u ms\n", label.c_str(), p.songClock,
                    p.model.c_str(), p.clock, p.boardName.c_str(), text(c.address).c_str(), c.slot, p.waitMs);
    }
}

}  // namespace vesk::play
