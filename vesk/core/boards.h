// Boards: what the manager keeps of each board init found, in board order.
#ifndef VESK_CORE_BOARDS_H
#define VESK_CORE_BOARDS_H

#include <vesk/vesk.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "discovery/query.h"
#include "transport/board_transport.h"

namespace vesk {

// Owns the boards' records (one array, as getBoardInfo copies them out),
// init's settings for them and their transports; links() is the same
// transports as the chips and chip access see them, kept in step here.
// Not synchronised: init fills it and release empties it while no host call
// or client runs (the manager's order).
class Boards {
public:
    // count zeroed records and settings; any earlier ones are freed.
    // Throws std::bad_alloc (nothing changed then).
    void allocate(std::uint32_t count) {
        auto records = std::make_unique<VeskBoardInfo[]>(count);
        auto settings = std::make_unique<BoardSettings[]>(count);
        records_ = std::move(records);
        settings_ = std::move(settings);
    }
    // Room for count transports, so that adding them cannot throw.
    void reserveTransports(std::size_t count) {
        transports_.reserve(count);
        links_.reserve(count);
    }
    // Takes the board's transport; requires room (reserveTransports).
    void addTransport(std::unique_ptr<BoardTransport> t) {
        links_.push_back(t.get());
        transports_.push_back(std::move(t));
    }

    // Null when freed or never allocated.
    VeskBoardInfo* records() const { return records_.get(); }
    BoardSettings* settings() const { return settings_.get(); }
    // Null when the board has none.
    BoardTransport* transport(std::size_t board) const {
        return board < transports_.size() ? transports_[board].get() : nullptr;
    }
    const std::vector<BoardLink*>& links() const { return links_; }
    std::size_t transportCount() const { return transports_.size(); }

    void freeRecords() {
        records_.reset();
        settings_.reset();
    }
    // In board order; each transport syncs with its board, then stops and
    // joins its threads.
    void stopTransports() {
        links_.clear();
        for (auto& t : transports_) t.reset();
        transports_.clear();
    }

private:
    std::unique_ptr<VeskBoardInfo[]> records_;
    std::unique_ptr<BoardSettings[]> settings_;
    std::vector<std::unique_ptr<BoardTransport>> transports_;
    std::vector<BoardLink*> links_;
};

}  // namespace vesk

#endif  // VESK_CORE_BOARDS_H
